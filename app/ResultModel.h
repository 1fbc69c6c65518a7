// The results page's data: a scan's listing prepared once off the GUI thread
// (sort orders per column, the "By type" and "By folder" trees), and the
// table model over it. The model keeps its own index of the rows it shows
// (filtered, then in the order of the sorted column) and reads the items it
// paints from the listing on disk, so a million results sort, filter and
// scroll without building any widget per row or holding every item.
#pragma once

#include <QAbstractTableModel>
#include <QIcon>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "scan/ScanSession.h"

enum RESULT_COLUMN : int {
  COL_NAME = 0,
  COL_FOLDER,
  COL_SIZE,
  COL_MODIFIED,
  COL_STATE,
  COL_INTEGRITY,
  COL_PARTITION,
  COL_COUNT
};

// One folder of the "By folder" tree. Node 0 is the invisible root.
struct FOLDER_NODE {
  std::string strName;         // shown in the tree
  int nParent = -1;
  std::vector<int> children;   // in name order
  u32 nFiles = 0;              // results directly in it
  u32 nTotal = 0;              // results in it and below
};

// One extension row of the "By type" tree.
struct EXT_NODE {
  std::string strExt;          // lower case, "" for names without one
  int nKind = category::OTHER;
  u32 nTotal = 0;
};

struct RESULT_SET {
  // The items themselves stay in the session's listing on disk (the
  // session's order: folder, then name); the set keeps per item only what
  // filtering and sorting read, packed tight: a million results are scanned
  // in a few milliseconds this way.
  std::shared_ptr<const CResultListing> listing;
  std::vector<u32> positions;            // per item, its place in the listing
  std::string searchText;                // each "folder/name", ASCII lower-cased, ended by a NUL
  std::vector<u64> searchStart;          // per item, its key's offset in searchText
  std::vector<u16> folderBytes;          // per item, the folder's length at the start of its key
  std::vector<u64> sizes;
  std::vector<i64> modified;             // seconds since 1970, 0 when unknown
  std::vector<u8> attrs;                 // ATTR_* bits and the category
  std::vector<u32> pixels;               // width << 16 | height, each capped at 65535 (0: unknown)
  std::vector<u32> orders[COL_COUNT];    // item indices in ascending order of each column
  std::vector<EXT_NODE> exts;
  std::vector<u16> extOf;                // per item
  u32 kindTotals[category::COUNT] = {};
  std::vector<FOLDER_NODE> folders;
  std::vector<u32> folderOf;             // per item: its deepest folder node
  size_t Count() const { return positions.size(); }
};

// Item i of a set, read from the listing; false when it cannot be read.
bool ReadResultItem(const RESULT_SET& set, u32 item, RESULT_ITEM& out);

enum : u8 {
  ATTR_DELETED = 0x01,
  ATTR_INTEGRITY_SHIFT = 1,
  ATTR_INTEGRITY_MASK = 0x06,
  ATTR_THUMBNAIL = 0x08,
  ATTR_KIND_SHIFT = 4
};

// Builds the set from a listing, keeping only the chosen categories (and no
// folders). Runs on a worker: no Qt widgets, no GUI objects.
std::shared_ptr<RESULT_SET> BuildResultSet(std::shared_ptr<const CResultListing> listing,
                                           const bool bKinds[category::COUNT]);

// What the tree on the left narrows the table to.
struct RESULT_SCOPE {
  enum KIND { ALL = 0, TYPE = 1, FOLDER = 2 };
  KIND eKind = ALL;
  int nCategory = -1;  // TYPE: the category, or -1 with nExt
  int nExt = -1;       // TYPE: an extension row, or -1 for the whole category
  int nFolder = -1;    // FOLDER: the node and everything below it
  bool operator==(const RESULT_SCOPE& o) const {
    return eKind == o.eKind && nCategory == o.nCategory && nExt == o.nExt && nFolder == o.nFolder;
  }
};

// The search box and the filters above the table.
struct VIEW_FILTER {
  std::string strText;   // lower-cased; matched inside "folder/name"
  u64 u64MinSize = 0, u64MaxSize = 0;
  i64 tAfter = 0, tBefore = 0;  // modification time; an unknown date matches no range
  bool bHideBroken = false;
  int nState = RESULT_FILTER::STATE_ALL;
  u32 nMinWidth = 0, nMinHeight = 0;  // pictures' size in pixels, from their headers
  bool bSkipThumbnails = false;       // small pictures lying inside another found picture
};

class CResultModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  explicit CResultModel(QObject* pParent = nullptr);

  void SetResults(std::shared_ptr<const RESULT_SET> set);
  const RESULT_SET* Set() const { return m_set.get(); }
  std::shared_ptr<const RESULT_SET> SharedSet() const { return m_set; }

  void SetScope(const RESULT_SCOPE& scope);
  const RESULT_SCOPE& Scope() const { return m_scope; }
  void SetFilter(const VIEW_FILTER& filter);
  const VIEW_FILTER& Filter() const { return m_filter; }
  int SortColumn() const { return m_nSortColumn; }
  Qt::SortOrder SortOrder() const { return m_eSortOrder; }

  // The item index behind a row of the table; -1 outside.
  int ItemAt(int row) const;
  // The row showing an item; -1 when it is not listed.
  int RowOf(u32 item) const;

  // Check marks: what "Recover" saves.
  bool IsChecked(u32 item) const { return item < m_checked.size() && m_checked[item]; }
  void SetChecked(u32 item, bool on);
  enum CHECK_ACTION { CHECK_ALL, CHECK_NONE, CHECK_INVERT };
  // Acts on the rows listed now (scope and filters applied).
  void CheckListed(CHECK_ACTION action);
  // Checks or clears everything in a scope (a tree row's check box).
  void CheckScope(const RESULT_SCOPE& scope, bool on);
  u64 CheckedCount() const { return m_u64Checked; }
  u64 CheckedBytes() const { return m_u64CheckedBytes; }
  std::vector<u32> CheckedItems() const;
  // Checked results under a tree row.
  u32 CheckedInExt(int ext) const { return ext >= 0 && ext < static_cast<int>(m_extChecked.size()) ? m_extChecked[ext] : 0; }
  u32 CheckedInKind(int kind) const;
  u32 CheckedInFolder(int node) const {
    return node >= 0 && node < static_cast<int>(m_folderChecked.size()) ? m_folderChecked[node] : 0;
  }

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  void sort(int column, Qt::SortOrder order) override;

 signals:
  void CheckedChanged();

 private:
  void ScopeMask(const RESULT_SCOPE& scope, std::vector<char>& mask) const;
  void SubtreeOf(const RESULT_SCOPE& scope, std::vector<char>& subtree) const;
  // Marks the items inside the scope that pass the filters; false when all do.
  bool MarkListed(std::vector<char>& mask) const;
  void Rebuild();
  void CountCheck(u32 item, int delta);
  // Sets many check marks: counts kept per folder are summed up once at the end.
  template <typename PRED>
  void CheckMany(const std::vector<u32>& items, PRED wanted);
  QIcon IconOfExt(u16 ext) const;
  // The item behind a row, through a small cache: a table asks for the
  // same few rows many times while it paints.
  const RESULT_ITEM& Item(u32 item) const;

  std::shared_ptr<const RESULT_SET> m_set;
  RESULT_SCOPE m_scope;
  VIEW_FILTER m_filter;
  int m_nSortColumn;
  Qt::SortOrder m_eSortOrder;
  std::vector<u32> m_rows;
  std::vector<int> m_rowOf;      // per item, -1 when not listed
  std::vector<char> m_checked;
  u64 m_u64Checked;
  u64 m_u64CheckedBytes;
  std::vector<u32> m_extChecked;
  std::vector<u32> m_folderChecked;  // in the node and below
  mutable std::vector<QIcon> m_extIcons;
  mutable std::unordered_map<u32, RESULT_ITEM> m_itemCache;
  mutable std::vector<u32> m_cacheOrder;  // oldest first, for dropping
};

// Texts of one result as the table and the tooltips show them.
QString ResultStateText(const RESULT_ITEM& item);
QString ResultIntegrityText(const RESULT_ITEM& item);
// What the verdict and flags mean, in a sentence or two.
QString ResultIntegrityExplanation(const RESULT_ITEM& item);
// The full name, where it came from, and why a name starts with "!".
QString ResultToolTip(const RESULT_ITEM& item);
// Where a file reassembled from two pieces lies on the disk ("" for one piece).
QString ResultPiecesText(const RESULT_ITEM& item);
QString ModifiedText(const RESULT_ITEM& item);
QIcon IntegrityIcon(int nIntegrity);
