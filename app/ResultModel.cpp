#include "app/ResultModel.h"

#include <QDateTime>
#include <QPainter>
#include <QPixmap>
#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <string_view>
#include <unordered_map>
#include <thread>

#include "app/FileCategory.h"
#include "engine/TextUtil.h"

namespace {

std::string AsciiLower(const std::string& s) {
  std::string out = s;
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return out;
}

std::string ExtensionOf(const std::string& name) {
  size_t dot = name.find_last_of('.');
  if (dot == std::string::npos || dot + 1 >= name.size() || dot == 0) return std::string();
  return AsciiLower(name.substr(dot + 1));
}

// Item indices in ascending order of a key, the listing's own order (folder,
// then name) kept among equal keys. Pairs sort without touching the items.
template <typename KEY>
std::vector<u32> OrderBy(const std::vector<KEY>& keys) {
  std::vector<std::pair<KEY, u32>> pairs(keys.size());
  for (size_t i = 0; i < keys.size(); ++i) pairs[i] = {keys[i], static_cast<u32>(i)};
  std::sort(pairs.begin(), pairs.end());
  std::vector<u32> order(keys.size());
  for (size_t i = 0; i < pairs.size(); ++i) order[i] = pairs[i].second;
  return order;
}

// The same for keys of a few values: a counting sort.
std::vector<u32> OrderBySmall(size_t n, int nValues, const std::function<int(u32)>& key) {
  std::vector<u32> count(static_cast<size_t>(nValues) + 1, 0);
  for (u32 i = 0; i < n; ++i) ++count[static_cast<size_t>(key(i)) + 1];
  for (size_t v = 1; v < count.size(); ++v) count[v] += count[v - 1];
  std::vector<u32> order(n);
  for (u32 i = 0; i < n; ++i) order[count[static_cast<size_t>(key(i))]++] = i;
  return order;
}

std::string_view NameKey(const RESULT_SET& set, size_t i) {
  size_t start = static_cast<size_t>(set.searchStart[i]) + set.folderBytes[i];
  size_t end = static_cast<size_t>(set.searchStart[i + 1]) - 1;  // before the NUL
  return std::string_view(set.searchText.data() + start, end - start);
}

void BuildNameOrder(RESULT_SET& set) {
  const size_t n = set.Count();
  // The first 16 bytes of each name, big-endian in two words, decide most
  // comparisons without a look at the text.
  struct KEY {
    u64 a, b;
    u32 item;
  };
  std::vector<KEY> keys(n);
  for (size_t i = 0; i < n; ++i) {
    const std::string_view name = NameKey(set, i);
    unsigned char head[16] = {0};
    memcpy(head, name.data(), std::min<size_t>(16, name.size()));
    u64 a = 0, b = 0;
    for (int k = 0; k < 8; ++k) {
      a = (a << 8) | head[k];
      b = (b << 8) | head[8 + k];
    }
    keys[i] = {a, b, static_cast<u32>(i)};
  }
  // Names are looked up only when their first 16 bytes tie.
  auto less = [&set](const KEY& x, const KEY& y) {
    if (x.a != y.a) return x.a < y.a;
    if (x.b != y.b) return x.b < y.b;
    int c = NameKey(set, x.item).compare(NameKey(set, y.item));
    return c != 0 ? c < 0 : x.item < y.item;
  };
  // Two halves on two threads, then one merge.
  auto mid = keys.begin() + static_cast<std::ptrdiff_t>(n / 2);
  if (n >= 20000) {
    std::thread half([&] { std::sort(keys.begin(), mid, less); });
    std::sort(mid, keys.end(), less);
    half.join();
    std::inplace_merge(keys.begin(), mid, keys.end(), less);
  } else {
    std::sort(keys.begin(), keys.end(), less);
  }
  std::vector<u32>& order = set.orders[COL_NAME];
  order.resize(n);
  for (size_t i = 0; i < n; ++i) order[i] = keys[i].item;
}

// The "By folder" tree, built an item at a time in the listing's order.
class CFolderTreeBuilder {
 public:
  explicit CFolderTreeBuilder(RESULT_SET& set) : m_set(set) {
    m_set.folders.clear();
    m_set.folders.emplace_back();  // the root
  }
  void Add(const RESULT_ITEM& item) {
    const int groupKey = item.IsCarved() ? -1 : item.nPartition;
    if (m_bHaveLast && groupKey == m_nLastGroup && m_strLastFolder == item.strFolder) {
      m_set.folderOf.push_back(static_cast<u32>(m_nLastNode));
      return;
    }
    int node;
    if (item.IsCarved()) {
      node = Child(0, "\x01");  // named below; sorts last
    } else {
      // Each partition under a node of its own; with one, that node becomes the root folder.
      node = Child(0, "Partition " + std::to_string(item.nPartition));
      if (std::find(m_partitionNodes.begin(), m_partitionNodes.end(), node) == m_partitionNodes.end())
        m_partitionNodes.push_back(node);
      const std::string& f = item.strFolder;
      size_t pos = 0;
      bool first = true;
      while (pos < f.size()) {
        size_t slash = f.find('/', pos);
        if (slash == std::string::npos) slash = f.size();
        std::string part = f.substr(pos, slash - pos);
        pos = slash + 1;
        if (part.empty()) continue;
        // Folders whose parent was lost hang under a node of their own.
        if (first && part.compare(0, 10, "LostFolder") == 0) node = Child(node, "\x03");
        first = false;
        node = Child(node, part);
      }
    }
    m_set.folderOf.push_back(static_cast<u32>(node));
    m_bHaveLast = true;
    m_nLastGroup = groupKey;
    m_strLastFolder = item.strFolder;
    m_nLastNode = node;
  }
  void Finish() {
    std::vector<FOLDER_NODE>& nodes = m_set.folders;
    if (m_partitionNodes.size() == 1) nodes[static_cast<size_t>(m_partitionNodes[0])].strName = "\x02";
    for (size_t i = 0; i < m_set.folderOf.size(); ++i) ++nodes[m_set.folderOf[i]].nFiles;
    // Parents were made before their children: one backward pass sums totals.
    for (size_t id = nodes.size(); id-- > 0;) {
      nodes[id].nTotal += nodes[id].nFiles;
      if (nodes[id].nParent >= 0) nodes[static_cast<size_t>(nodes[id].nParent)].nTotal += nodes[id].nTotal;
    }
    for (FOLDER_NODE& node : nodes) {
      std::sort(node.children.begin(), node.children.end(), [&nodes](int a, int b) {
        return AsciiLower(nodes[static_cast<size_t>(a)].strName) < AsciiLower(nodes[static_cast<size_t>(b)].strName);
      });
    }
    for (FOLDER_NODE& node : nodes) {
      if (node.strName == "\x01") node.strName = "Found by content (no folder)";
      else if (node.strName == "\x02") node.strName = "/ (root folder)";
      else if (node.strName == "\x03") node.strName = "Lost folders";
    }
  }

 private:
  int Child(int parent, const std::string& name) {
    auto key = std::make_pair(parent, name);
    auto it = m_childIndex.find(key);
    if (it != m_childIndex.end()) return it->second;
    int id = static_cast<int>(m_set.folders.size());
    FOLDER_NODE node;
    node.strName = name;
    node.nParent = parent;
    m_set.folders.push_back(node);
    m_set.folders[static_cast<size_t>(parent)].children.push_back(id);
    m_childIndex[key] = id;
    return id;
  }
  RESULT_SET& m_set;
  std::map<std::pair<int, std::string>, int> m_childIndex;
  std::vector<int> m_partitionNodes;
  bool m_bHaveLast = false;
  int m_nLastGroup = -2;
  std::string m_strLastFolder;
  int m_nLastNode = 0;
};

QIcon DotIcon(const QColor& color, QChar mark) {
  QPixmap pm(16, 16);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.setBrush(color);
  p.setPen(Qt::NoPen);
  p.drawEllipse(1, 1, 14, 14);
  p.setPen(Qt::white);
  QFont f = p.font();
  f.setPixelSize(11);
  f.setBold(true);
  p.setFont(f);
  p.drawText(QRect(0, 0, 16, 16), Qt::AlignCenter, QString(mark));
  return QIcon(pm);
}

}  // namespace

bool ReadResultItem(const RESULT_SET& set, u32 item, RESULT_ITEM& out) {
  return set.listing && item < set.positions.size() && set.listing->Get(set.positions[item], out) == 0;
}

std::shared_ptr<RESULT_SET> BuildResultSet(std::shared_ptr<const CResultListing> listing,
                                           const bool bKinds[category::COUNT]) {
  auto set = std::make_shared<RESULT_SET>();
  set->listing = listing;
  std::unordered_map<std::string, int> extIds;
  std::string ext;
  CFolderTreeBuilder folders(*set);
  std::vector<u32> partitions;
  if (listing) {
    // Every vector sized once: growing by doubling would hold up to twice a
    // million entries for a moment.
    const size_t most = listing->Count();
    for (auto* v : {&set->positions, &set->folderOf, &set->pixels, &partitions}) v->reserve(most);
    set->searchStart.reserve(most + 1);
    set->searchText.reserve(static_cast<size_t>(listing->PathBytes()) + most);
    set->folderBytes.reserve(most);
    set->extOf.reserve(most);
    set->attrs.reserve(most);
    set->sizes.reserve(most);
    set->modified.reserve(most);
    u32 position = 0;
    listing->ForEach([&](const RESULT_ITEM& item) {
      const u32 at = position++;
      if (item.node.bIsDir) return true;  // folders are the tree, not rows
      if (bKinds && !bKinds[item.eKind]) return true;
      set->positions.push_back(at);
      set->searchStart.push_back(set->searchText.size());
      std::string& text = set->searchText;
      const size_t need = text.size() + item.strFolder.size() + item.strName.size() + 1;
      if (need > text.capacity()) text.reserve(std::max(need, text.capacity() + text.capacity() / 4 + 4096));
      for (const std::string* part : {&item.strFolder, &item.strName})
        for (char c : *part) set->searchText.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c);
      set->searchText.push_back('\0');
      set->folderBytes.push_back(static_cast<u16>(std::min<size_t>(item.strFolder.size(), 65535)));
      set->sizes.push_back(item.node.u64FileSize);
      set->modified.push_back(NodeModifiedTime(item.node));
      set->attrs.push_back(static_cast<u8>((item.IsDeleted() ? ATTR_DELETED : 0) |
                                           ((item.node.nIntegrity & 3) << ATTR_INTEGRITY_SHIFT) |
                                           (item.bThumbnail ? ATTR_THUMBNAIL : 0) | (item.eKind << ATTR_KIND_SHIFT)));
      // No picture is wider or taller than 65535 pixels in the formats that say.
      set->pixels.push_back((std::min<u32>(item.nWidth, 65535) << 16) | std::min<u32>(item.nHeight, 65535));
      partitions.push_back(static_cast<u32>(std::max(0, item.nPartition)));
      ext = ExtensionOf(item.strName);
      auto it = extIds.find(ext);
      if (it == extIds.end()) {
        it = extIds.emplace(ext, static_cast<int>(set->exts.size())).first;
        EXT_NODE node;
        node.strExt = ext;
        node.nKind = item.eKind;
        set->exts.push_back(node);
      }
      // More than 65535 extensions: the rest share the last row.
      int id = std::min(it->second, 65535);
      set->extOf.push_back(static_cast<u16>(id));
      ++set->exts[static_cast<size_t>(id)].nTotal;
      ++set->kindTotals[item.eKind];
      folders.Add(item);
      return true;
    });
  }
  folders.Finish();
  const size_t n = set->positions.size();
  set->searchStart.push_back(set->searchText.size());
  set->searchText.shrink_to_fit();
  std::vector<u32>& folder = set->orders[COL_FOLDER];
  folder.resize(n);
  for (size_t i = 0; i < n; ++i) folder[i] = static_cast<u32>(i);
  std::thread names([&] { BuildNameOrder(*set); });
  set->orders[COL_SIZE] = OrderBy(set->sizes);
  set->orders[COL_MODIFIED] = OrderBy(set->modified);
  const std::vector<u8>& attrs = set->attrs;
  set->orders[COL_STATE] = OrderBySmall(n, 2, [&attrs](u32 i) { return (attrs[i] & ATTR_DELETED) ? 0 : 1; });
  // Worst first: broken, partial, unverified, verified.
  static const int kRank[4] = {2, 3, 1, 0};
  set->orders[COL_INTEGRITY] = OrderBySmall(
      n, 4, [&attrs](u32 i) { return kRank[(attrs[i] & ATTR_INTEGRITY_MASK) >> ATTR_INTEGRITY_SHIFT]; });
  set->orders[COL_PARTITION] = OrderBy(partitions);
  names.join();
  return set;
}

// ---------------------------------------------------------------- texts

QString ResultStateText(const RESULT_ITEM& item) {
  if (item.IsCarved()) return QStringLiteral("found by content");
  return item.IsDeleted() ? QStringLiteral("deleted") : QStringLiteral("live");
}

QString ResultIntegrityText(const RESULT_ITEM& item) { return QString::fromLatin1(IntegrityName(item.node.nIntegrity)); }

QString ResultIntegrityExplanation(const RESULT_ITEM& item) {
  QString text;
  switch (item.node.nIntegrity) {
    case INTEGRITY_VERIFIED:
      text = QStringLiteral("Verified: its structure was checked from the first byte to the last.");
      break;
    case INTEGRITY_PARTIAL:
      text = QStringLiteral("Partial: part of it is missing (cut short or unreadable); what is there can be saved.");
      break;
    case INTEGRITY_BROKEN:
      text = QStringLiteral("Broken: its content does not hold together; it will probably not open.");
      break;
    default:
      text = QStringLiteral("Unverified: there is no check for this type, or it was not checked; it may be whole "
                            "or damaged.");
      break;
  }
  u8 f = item.node.nResultFlags;
  if (f & RESULT_FLAG_CHAIN_CLEARED)
    text += QStringLiteral("\nMay be incomplete: its cluster chain was cleared, so it was read from consecutive "
                           "clusters.");
  if (f & RESULT_FLAG_LENGTH_CAPPED)
    text += QStringLiteral("\nMay be incomplete: no end was found, so its length is a limit, not its real size.");
  if (f & RESULT_FLAG_UNREADABLE) text += QStringLiteral("\nSome of its sectors could not be read.");
  if (f & RESULT_FLAG_CHECK_PENDING) text += QStringLiteral("\nA fuller check runs when it is saved.");
  if ((f & RESULT_FLAG_TWO_PIECES) && item.node.nIntegrity == INTEGRITY_UNVERIFIED)
    text += QStringLiteral("\nIts two pieces check as one file, but that is not proof they belong together.");
  const QString pieces = ResultPiecesText(item);
  if (!pieces.isEmpty()) text += QStringLiteral("\n") + pieces;
  return text;
}

QString ResultToolTip(const RESULT_ITEM& item) {
  QString name = QString::fromStdString(item.strName).toHtmlEscaped();
  QString text = QStringLiteral("<b>%1</b>").arg(name);
  if (item.IsCarved())
    text += QStringLiteral("<br>Found by its content in free space; its name was made up from its type.");
  else
    text += QStringLiteral("<br>Folder: %1").arg(QString::fromStdString(item.strFolder).toHtmlEscaped());
  text += QStringLiteral("<br>%1, %2").arg(HumanSize(item.node.u64FileSize), ResultStateText(item));
  const QString pieces = ResultPiecesText(item);
  if (!pieces.isEmpty()) text += QStringLiteral("<br>") + pieces.toHtmlEscaped();
  if (!item.strName.empty() && item.strName[0] == '!' && item.IsDeleted())
    text += QStringLiteral("<br><i>Deleting a file on a FAT disk overwrites the first letter of its short name; "
                           "the lost letter is shown as \u201c!\u201d.</i>");
  return text;
}

QString ResultPiecesText(const RESULT_ITEM& item) {
  SECTOR_RUN runs[2];
  if (CScanSession::Pieces(item, runs) != 2) return QString();
  auto range = [](const SECTOR_RUN& r) {
    const u64 sectors = (r.u64Bytes + SECTOR_SIZE - 1) / SECTOR_SIZE;
    return QStringLiteral("%1\u2013%2").arg(r.u64FirstSector).arg(r.u64FirstSector + (sectors ? sectors - 1 : 0));
  };
  return QStringLiteral("Reassembled from two pieces: sectors %1 and %2.").arg(range(runs[0]), range(runs[1]));
}

QString ModifiedText(const RESULT_ITEM& item) {
  i64 t = NodeModifiedTime(item.node);
  if (t == 0) return QString();
  return QDateTime::fromSecsSinceEpoch(t).toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

QIcon IntegrityIcon(int nIntegrity) {
  static QIcon icons[4];
  int i = nIntegrity & 3;
  if (icons[i].isNull()) {
    switch (i) {
      case INTEGRITY_VERIFIED: icons[i] = DotIcon(QColor(0x2e, 0x9e, 0x4f), QChar(0x2713)); break;
      case INTEGRITY_PARTIAL: icons[i] = DotIcon(QColor(0xe0, 0x8a, 0x00), QChar('~')); break;
      case INTEGRITY_BROKEN: icons[i] = DotIcon(QColor(0xd0, 0x32, 0x32), QChar('!')); break;
      default: icons[i] = DotIcon(QColor(0x9a, 0xa6, 0xb4), QChar('?')); break;
    }
  }
  return icons[i];
}

// ---------------------------------------------------------------- the model

CResultModel::CResultModel(QObject* pParent)
    : QAbstractTableModel(pParent),
      m_nSortColumn(COL_FOLDER),
      m_eSortOrder(Qt::AscendingOrder),
      m_u64Checked(0),
      m_u64CheckedBytes(0) {}

void CResultModel::SetResults(std::shared_ptr<const RESULT_SET> set) {
  beginResetModel();
  m_set = std::move(set);
  m_itemCache.clear();
  m_cacheOrder.clear();
  size_t n = m_set ? m_set->Count() : 0;
  m_checked.assign(n, 0);
  m_u64Checked = 0;
  m_u64CheckedBytes = 0;
  m_extChecked.assign(m_set ? m_set->exts.size() : 0, 0);
  m_folderChecked.assign(m_set ? m_set->folders.size() : 0, 0);
  m_extIcons.assign(m_set ? m_set->exts.size() : 0, QIcon());
  m_scope = RESULT_SCOPE();
  m_filter = VIEW_FILTER();
  m_nSortColumn = COL_FOLDER;
  m_eSortOrder = Qt::AscendingOrder;
  Rebuild();
  endResetModel();
  emit CheckedChanged();
}

void CResultModel::SetScope(const RESULT_SCOPE& scope) {
  beginResetModel();
  m_scope = scope;
  Rebuild();
  endResetModel();
}

void CResultModel::SetFilter(const VIEW_FILTER& filter) {
  beginResetModel();
  m_filter = filter;
  Rebuild();
  endResetModel();
}

void CResultModel::sort(int column, Qt::SortOrder order) {
  if (column < 0 || column >= COL_COUNT) return;
  beginResetModel();
  m_nSortColumn = column;
  m_eSortOrder = order;
  Rebuild();
  endResetModel();
}

void CResultModel::SubtreeOf(const RESULT_SCOPE& scope, std::vector<char>& subtree) const {
  subtree.clear();
  if (scope.eKind != RESULT_SCOPE::FOLDER || !m_set) return;
  const std::vector<FOLDER_NODE>& nodes = m_set->folders;
  subtree.assign(nodes.size(), 0);
  if (scope.nFolder < 0 || scope.nFolder >= static_cast<int>(nodes.size())) return;
  subtree[static_cast<size_t>(scope.nFolder)] = 1;
  // Parents have smaller numbers than their children.
  for (size_t id = static_cast<size_t>(scope.nFolder) + 1; id < nodes.size(); ++id)
    if (nodes[id].nParent >= 0 && subtree[static_cast<size_t>(nodes[id].nParent)]) subtree[id] = 1;
}

void CResultModel::ScopeMask(const RESULT_SCOPE& scope, std::vector<char>& mask) const {
  const size_t n = m_set->Count();
  mask.assign(n, 1);
  switch (scope.eKind) {
    case RESULT_SCOPE::TYPE:
      if (scope.nExt >= 0) {
        for (size_t i = 0; i < n; ++i) mask[i] = m_set->extOf[i] == scope.nExt;
      } else {
        for (size_t i = 0; i < n; ++i) mask[i] = (m_set->attrs[i] >> ATTR_KIND_SHIFT) == scope.nCategory;
      }
      break;
    case RESULT_SCOPE::FOLDER: {
      std::vector<char> subtree;
      SubtreeOf(scope, subtree);
      for (size_t i = 0; i < n; ++i) mask[i] = subtree[m_set->folderOf[i]];
      break;
    }
    default: break;
  }
}

bool CResultModel::MarkListed(std::vector<char>& mask) const {
  const VIEW_FILTER& f = m_filter;
  const bool bFilter = !f.strText.empty() || f.bHideBroken || f.u64MinSize || f.u64MaxSize || f.tAfter || f.tBefore ||
                       f.nState != RESULT_FILTER::STATE_ALL || f.nMinWidth || f.nMinHeight || f.bSkipThumbnails;
  if (m_scope.eKind == RESULT_SCOPE::ALL && !bFilter) return false;
  ScopeMask(m_scope, mask);
  if (!bFilter) return true;
  const size_t n = m_set->Count();
  const u64 maxSize = f.u64MaxSize ? f.u64MaxSize : ~0ull;
  for (size_t i = 0; i < n; ++i) {
    if (!mask[i]) continue;
    u8 a = m_set->attrs[i];
    bool ok = m_set->sizes[i] >= f.u64MinSize && m_set->sizes[i] <= maxSize;
    if (f.bHideBroken && ((a & ATTR_INTEGRITY_MASK) >> ATTR_INTEGRITY_SHIFT) == INTEGRITY_BROKEN) ok = false;
    if (f.nState == RESULT_FILTER::STATE_DELETED && !(a & ATTR_DELETED)) ok = false;
    if (f.nState == RESULT_FILTER::STATE_LIVE && (a & ATTR_DELETED)) ok = false;
    if (f.tAfter || f.tBefore) {
      i64 t = m_set->modified[i];
      if (t == 0 || (f.tAfter && t < f.tAfter) || (f.tBefore && t >= f.tBefore)) ok = false;
    }
    // The same rule as the session's filter for saving: pictures that do not say are left out.
    const u32 width = m_set->pixels[i] >> 16, height = m_set->pixels[i] & 0xFFFF;
    if ((f.nMinWidth && width < f.nMinWidth) || (f.nMinHeight && height < f.nMinHeight)) ok = false;
    if (f.bSkipThumbnails && (a & ATTR_THUMBNAIL)) ok = false;
    mask[i] = ok;
  }
  if (!f.strText.empty()) {
    // One pass of memmem over all the keys: each hit marks its item, and the
    // search goes on at the next item's key.
    std::vector<char> hit(n, 0);
    const std::string& text = m_set->searchText;
    const std::vector<u64>& start = m_set->searchStart;
    const char* base = text.data();
    size_t pos = 0;
    while (pos < text.size()) {
      const void* p = memmem(base + pos, text.size() - pos, f.strText.data(), f.strText.size());
      if (!p) break;
      size_t at = static_cast<size_t>(static_cast<const char*>(p) - base);
      size_t item = static_cast<size_t>(std::upper_bound(start.begin(), start.begin() + static_cast<std::ptrdiff_t>(n), at) -
                                        start.begin()) - 1;
      hit[item] = 1;
      pos = static_cast<size_t>(start[item + 1]);
    }
    for (size_t i = 0; i < n; ++i) mask[i] = mask[i] && hit[i];
  }
  return true;
}

void CResultModel::Rebuild() {
  m_rows.clear();
  m_rowOf.clear();
  if (!m_set) return;
  const size_t n = m_set->Count();
  m_rowOf.assign(n, -1);
  std::vector<char> mask;
  const bool bMasked = MarkListed(mask);
  const std::vector<u32>& order = m_set->orders[m_nSortColumn];
  m_rows.reserve(n);
  if (bMasked) {
    for (u32 item : order)
      if (mask[item]) m_rows.push_back(item);
  } else {
    m_rows = order;
  }
  if (m_eSortOrder == Qt::DescendingOrder) std::reverse(m_rows.begin(), m_rows.end());
  for (size_t r = 0; r < m_rows.size(); ++r) m_rowOf[m_rows[r]] = static_cast<int>(r);
}

int CResultModel::ItemAt(int row) const {
  return row >= 0 && row < static_cast<int>(m_rows.size()) ? static_cast<int>(m_rows[static_cast<size_t>(row)]) : -1;
}

int CResultModel::RowOf(u32 item) const { return item < m_rowOf.size() ? m_rowOf[item] : -1; }

void CResultModel::CountCheck(u32 item, int delta) {
  m_u64Checked += static_cast<u64>(static_cast<i64>(delta));
  m_u64CheckedBytes += static_cast<u64>(static_cast<i64>(delta) * static_cast<i64>(m_set->sizes[item]));
  m_extChecked[m_set->extOf[item]] += static_cast<u32>(delta);
  for (int node = static_cast<int>(m_set->folderOf[item]); node >= 0; node = m_set->folders[static_cast<size_t>(node)].nParent)
    m_folderChecked[static_cast<size_t>(node)] += static_cast<u32>(delta);
}

template <typename PRED>
void CResultModel::CheckMany(const std::vector<u32>& items, PRED wanted) {
  std::vector<i64> folderDelta(m_set->folders.size(), 0);
  for (u32 item : items) {
    bool on = wanted(item);
    if ((m_checked[item] != 0) == on) continue;
    m_checked[item] = on ? 1 : 0;
    i64 d = on ? 1 : -1;
    m_u64Checked += static_cast<u64>(d);
    m_u64CheckedBytes += static_cast<u64>(d * static_cast<i64>(m_set->sizes[item]));
    m_extChecked[m_set->extOf[item]] += static_cast<u32>(d);
    folderDelta[m_set->folderOf[item]] += d;
  }
  // Children have larger numbers than their parents: one backward pass.
  for (size_t id = folderDelta.size(); id-- > 0;) {
    int parent = m_set->folders[id].nParent;
    if (parent >= 0) folderDelta[static_cast<size_t>(parent)] += folderDelta[id];
    m_folderChecked[id] += static_cast<u32>(folderDelta[id]);
  }
  if (!m_rows.empty()) emit dataChanged(index(0, COL_NAME), index(rowCount() - 1, COL_NAME), {Qt::CheckStateRole});
  emit CheckedChanged();
}

void CResultModel::SetChecked(u32 item, bool on) {
  if (item >= m_checked.size() || (m_checked[item] != 0) == on) return;
  m_checked[item] = on ? 1 : 0;
  CountCheck(item, on ? 1 : -1);
  int row = RowOf(item);
  if (row >= 0) emit dataChanged(index(row, COL_NAME), index(row, COL_NAME), {Qt::CheckStateRole});
  emit CheckedChanged();
}

void CResultModel::CheckListed(CHECK_ACTION action) {
  if (!m_set) return;
  CheckMany(m_rows, [this, action](u32 item) {
    return action == CHECK_ALL ? true : (action == CHECK_NONE ? false : !m_checked[item]);
  });
}

void CResultModel::CheckScope(const RESULT_SCOPE& scope, bool on) {
  if (!m_set) return;
  std::vector<char> mask;
  ScopeMask(scope, mask);
  std::vector<u32> items;
  for (u32 i = 0; i < mask.size(); ++i)
    if (mask[i]) items.push_back(i);
  CheckMany(items, [on](u32) { return on; });
}

u32 CResultModel::CheckedInKind(int kind) const {
  u32 n = 0;
  if (!m_set) return 0;
  for (size_t e = 0; e < m_set->exts.size(); ++e)
    if (m_set->exts[e].nKind == kind) n += m_extChecked[e];
  return n;
}

std::vector<u32> CResultModel::CheckedItems() const {
  std::vector<u32> out;
  out.reserve(static_cast<size_t>(m_u64Checked));
  for (u32 i = 0; i < m_checked.size(); ++i)
    if (m_checked[i]) out.push_back(i);
  return out;
}

int CResultModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int CResultModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : COL_COUNT; }

QIcon CResultModel::IconOfExt(u16 ext) const {
  if (ext >= m_extIcons.size()) return QIcon();
  if (m_extIcons[ext].isNull())
    m_extIcons[ext] = QIcon(GetExtendNameIcon(QString::fromStdString(m_set->exts[ext].strExt)));
  return m_extIcons[ext];
}

QVariant CResultModel::data(const QModelIndex& index, int role) const {
  int itemNo = index.isValid() ? ItemAt(index.row()) : -1;
  if (itemNo < 0) return QVariant();
  const u32 item = static_cast<u32>(itemNo);
  const RESULT_ITEM& r = Item(item);
  const int col = index.column();
  switch (role) {
    case Qt::DisplayRole:
      switch (col) {
        case COL_NAME: return QString::fromStdString(r.strName);
        case COL_FOLDER: return r.IsCarved() ? QStringLiteral("(found by content)") : QString::fromStdString(r.strFolder);
        case COL_SIZE: return HumanSize(r.node.u64FileSize);
        case COL_MODIFIED: return ModifiedText(r);
        case COL_STATE: return ResultStateText(r);
        case COL_INTEGRITY: return ResultIntegrityText(r);
        case COL_PARTITION: return r.nPartition > 0 ? QString::number(r.nPartition) : QString();
        default: return QVariant();
      }
    case Qt::DecorationRole:
      if (col == COL_NAME) return IconOfExt(m_set->extOf[item]);
      if (col == COL_INTEGRITY) return IntegrityIcon(r.node.nIntegrity);
      return QVariant();
    case Qt::ToolTipRole:
      if (col == COL_INTEGRITY) return ResultIntegrityExplanation(r);
      if (col == COL_FOLDER && !r.IsCarved()) return QString::fromStdString(r.strFolder);
      return ResultToolTip(r);
    case Qt::CheckStateRole:
      if (col == COL_NAME) return m_checked[item] ? Qt::Checked : Qt::Unchecked;
      return QVariant();
    case Qt::TextAlignmentRole:
      if (col == COL_SIZE || col == COL_PARTITION) return QVariant(Qt::AlignRight | Qt::AlignVCenter);
      return QVariant();
    case Qt::UserRole: return item;
    default: return QVariant();
  }
}

const RESULT_ITEM& CResultModel::Item(u32 item) const {
  auto it = m_itemCache.find(item);
  if (it != m_itemCache.end()) return it->second;
  // A few screens of rows; the oldest half goes when it is full.
  constexpr size_t kCacheItems = 2048;
  if (m_itemCache.size() >= kCacheItems) {
    for (size_t k = 0; k < kCacheItems / 2; ++k) m_itemCache.erase(m_cacheOrder[k]);
    m_cacheOrder.erase(m_cacheOrder.begin(), m_cacheOrder.begin() + kCacheItems / 2);
  }
  RESULT_ITEM& r = m_itemCache[item];
  if (!ReadResultItem(*m_set, item, r)) r.strName = "(unreadable)";
  m_cacheOrder.push_back(item);
  return r;
}

bool CResultModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (role != Qt::CheckStateRole || index.column() != COL_NAME) return false;
  int item = ItemAt(index.row());
  if (item < 0) return false;
  SetChecked(static_cast<u32>(item), value.toInt() == Qt::Checked);
  return true;
}

QVariant CResultModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return QVariant();
  static const char* const kTitles[COL_COUNT] = {"Name", "Folder", "Size", "Modified", "State", "Integrity",
                                                 "Partition"};
  return section >= 0 && section < COL_COUNT ? QString::fromLatin1(kTitles[section]) : QVariant();
}

Qt::ItemFlags CResultModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
  if (index.column() == COL_NAME) f |= Qt::ItemIsUserCheckable;
  return f;
}
