// The small dialogs, the progress dialog's figures, closing and stopping, the
// recovery summary, the first page's check boxes, the preview decoders, the
// category and size texts, and the start-up and clean-up helpers.
#include <sys/stat.h>
#include <unistd.h>

#include <QBuffer>
#include <QCheckBox>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPdfWriter>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <thread>

#include "AppTestUtil.h"
#include "app/DRUI.h"
#include "app/Detail.h"
#include "app/FileCategory.h"
#include "app/MessageBox.h"
#include "app/Platform.h"
#include "app/Preview.h"
#include "app/ResultModel.h"
#include "app/ScanUI.h"
#include "engine/Categories.h"
#include "engine/SafeFs.h"
#include "tests/support/TestFiles.h"

class TestDialogs : public QObject {
  Q_OBJECT
 private slots:
  void initTestCase();
  void detailListsFailuresFirstWithReasons();
  void messageBoxAnswers();
  void sizesRatesAndLabels();
  void scanDialogShowsFiguresAndClosesWhenWorkerEnds();
  void recoverySummarySaysWhatFailedAndWhy();
  void stopAsksAndWaitsForWorker();
  void categoryBoxesDriveAllBox();
  void categoryNamesMatchTheirFolders();
  void previewDecoders();
  void pdfFirstPageIsDrawn();
  void deleteTmpFileRemovesOnlyOurPreviewFiles();
  void programLogAppendsPrivately();
  void startArgumentsAndElevation();
  void privilegedSettingsAreCheckedAsTheUser();
  void openFolderWithoutOpenerSaysSo();
};

void TestDialogs::initTestCase() {
  std::string support = testfiles::FreshDir("app-dialogs-support");
  setenv("TORVANE_SUPPORT_DIR", support.c_str(), 1);
  setenv("TORVANE_DISKS", "/nonexistent-disk-for-tests", 1);
}

void TestDialogs::detailListsFailuresFirstWithReasons() {
  CDetail detail;
  detail.AddOutcome("a.jpg", 0, "/d/photo/a.jpg");
  detail.AddOutcome("b.jpg", ENOSPC, "/d/photo/b.jpg");
  detail.AddOutcome("c.pdf", STATUS_PARTIAL_SAVE, "/d/document/c.pdf");
  detail.AddOutcome("d.txt", STATUS_UNSAFE_PATH, "/d/document/d.txt");
  detail.Finish();
  QTableWidget* t = detail.GetTable();
  QCOMPARE(t->rowCount(), 4);
  QStringList names, results;
  for (int r = 0; r < 4; ++r) {
    names << t->item(r, 0)->text();
    results << t->item(r, 1)->text();
  }
  QCOMPARE(names, QStringList({"b.jpg", "d.txt", "c.pdf", "a.jpg"}));
  QCOMPARE(results, QStringList({"failed", "failed", "saved in part", "saved"}));
  QCOMPARE(t->item(0, 2)->text(), QString::fromStdString(StatusText(ENOSPC)));
  QCOMPARE(t->item(1, 2)->text(), QString::fromStdString(StatusText(STATUS_UNSAFE_PATH)));
  QCOMPARE(t->item(3, 2)->text(), QString());
  QCOMPARE(detail.GetHeadingText(), QStringLiteral("1 saved, 1 partial, 2 failed"));
  // Sized to its columns: the reason is not cut off.
  QVERIFY(t->columnWidth(2) >= t->fontMetrics().horizontalAdvance(t->item(0, 2)->text()));
  QVERIFY(detail.width() >= t->columnWidth(0) + t->columnWidth(1) + t->columnWidth(2));
}

void TestDialogs::messageBoxAnswers() {
  for (bool yes : {true, false}) {
    CMessageBox box;
    box.setObjectName("q1");
    box.InitQuestionDialog("Proceed?", false, "Go on", "Stop");
    CModalDriver driver("q1", [yes](QWidget* w) {
      w->findChild<QPushButton*>(yes ? "yesButton" : "noButton")->click();
      return true;
    });
    box.exec();
    QVERIFY(driver.Done());
    QCOMPARE(box.GetMessageBoxRet(), yes ? 1 : 0);
    QCOMPARE(box.findChild<QPushButton*>("yesButton")->text(), QStringLiteral("Go on"));
  }
  // A right click closes nothing; Escape answers no.
  CMessageBox box;
  box.setObjectName("q3");
  box.InitQuestionDialog("Proceed?", true);
  bool stillOpen = false;
  CModalDriver driver("q3", [&stillOpen](QWidget* w) {
    QTest::mouseClick(w, Qt::RightButton, Qt::NoModifier, QPoint(5, 5));
    stillOpen = w->isVisible();
    QTest::keyClick(w, Qt::Key_Escape);
    return true;
  });
  box.exec();
  QVERIFY(driver.Done());
  QVERIFY(stillOpen);
  QCOMPARE(box.GetMessageBoxRet(), 0);
}

void TestDialogs::sizesRatesAndLabels() {
  QCOMPARE(HumanSize(0), QStringLiteral("0 bytes"));
  QCOMPARE(HumanSize(1), QStringLiteral("1 byte"));
  QCOMPARE(HumanSize(1023), QStringLiteral("1023 bytes"));
  QCOMPARE(HumanSize(1536), QStringLiteral("1.5 KB"));
  QCOMPARE(HumanSize(300ull << 20), QStringLiteral("300 MB"));
  QCOMPARE(HumanDuration(45), QStringLiteral("45 s"));
  QCOMPARE(HumanDuration(125), QStringLiteral("2 min 05 s"));
  QCOMPARE(HumanDuration(7500), QStringLiteral("2 h 05 min"));
  QCOMPARE(SelectionLabelText(0, 0), QStringLiteral("No files selected"));
  QCOMPARE(SelectionLabelText(2048, 1), QStringLiteral("1 file selected (2.0 KB)"));
  QCOMPARE(SelectionLabelText(3ull << 20, 2), QStringLiteral("2 files selected (3.0 MB)"));
  // A carved file in two pieces, found in a range that starts at disk sector
  // 1000: its pieces in the disk's sectors, like its first sector.
  RESULT_ITEM joined;
  joined.node.nEngineType = ENGINE_FILE_TYPE;
  joined.node.nResultFlags = RESULT_FLAG_TWO_PIECES;
  joined.node.u64RecordSector = 32;
  joined.node.nClusterNO = 8;
  joined.node.u64DataStartSector = 60;
  joined.node.u64FileSize = 8 * 512 + 1000;
  joined.u64FirstSector = 1032;
  QCOMPARE(ResultPiecesText(joined), QStringLiteral("Reassembled from two pieces: sectors 1032\u20131039 and 1060\u20131061."));
  joined.node.nResultFlags = 0;
  QVERIFY(ResultPiecesText(joined).isEmpty());

  // The speed is this run's recent speed: an early slow stretch is forgotten.
  CRateMeter meter(10000);
  QCOMPARE(meter.SecondsLeft(100), i64(-1));
  meter.Add(0, 0);
  meter.Add(1000, 10);  // 10 a second at first
  for (int s = 2; s <= 20; ++s) meter.Add(s * 1000, 10 + static_cast<u64>(s - 1) * 100);
  QVERIFY(qAbs(meter.Rate() - 100.0) < 0.5);
  QCOMPARE(meter.SecondsLeft(1910 + 1000), i64(10));
}

void TestDialogs::scanDialogShowsFiguresAndClosesWhenWorkerEnds() {
  DRUI owner;
  std::atomic<bool> cancel{false};
  SCANUI dialog(nullptr, SCANUI::MODE_SCAN, &cancel);
  connect(&owner, &DRUI::ScanProgressSignal, &dialog, &SCANUI::OnScanProgress);
  dialog.show();
  SCAN_PROGRESS p;
  p.ePhase = SCAN_PROGRESS::PHASE_DEEP;
  p.nPercent = 30;
  p.u64SectorsTotal = 2048 * 1000;  // 1000 MB
  p.u64SectorsDone = 2048 * 300;
  p.u64Found = 1234;
  dialog.OnScanProgress(p);
  QCOMPARE(dialog.GetBarValue(), 30);
  QString text = dialog.GetStatusText();
  QVERIFY2(text.contains("Read: 300 MB of 1000 MB"), qPrintable(text));
  QVERIFY2(text.contains(QLocale().toString(1234) + " files and folders"), qPrintable(text));
  QVERIFY2(text.contains("Unreadable sectors skipped: none"), qPrintable(text));
  p.u64Unreadable = 2048;
  dialog.OnScanProgress(p);
  QVERIFY2(dialog.GetStatusText().contains("Unreadable sectors skipped: 2" ) &&
               dialog.GetStatusText().contains("(1.0 MB)"), qPrintable(dialog.GetStatusText()));
  QTest::qWait(600);
  p.u64SectorsDone = 2048 * 400;
  p.nPercent = 40;
  dialog.OnScanProgress(p);
  text = dialog.GetStatusText();
  QVERIFY2(text.contains("MB/s"), qPrintable(text));
  QVERIFY2(text.contains("Time left: about"), qPrintable(text));

  // Reports sent from another thread arrive queued, in the GUI thread.
  std::thread worker([&owner] {
    SCAN_PROGRESS q;
    q.ePhase = SCAN_PROGRESS::PHASE_DONE;
    q.nPercent = 100;
    q.u64Found = 5;
    emit owner.ScanProgressSignal(q);
  });
  worker.join();
  QCOMPARE(dialog.GetBarValue(), 40);  // not delivered yet
  QTRY_COMPARE(dialog.GetBarValue(), 100);
  QVERIFY(dialog.GetStatusText().contains("Found so far: 5 files"));
  QVERIFY(dialog.isVisible());  // only the worker's end closes it
  dialog.OnWorkerFinished();
  QVERIFY(!dialog.isVisible());
}

void TestDialogs::recoverySummarySaysWhatFailedAndWhy() {
  std::atomic<bool> cancel{false};
  SCANUI dialog(nullptr, SCANUI::MODE_RECOVERY, &cancel);
  dialog.SetSaveDir("/dest");
  dialog.show();
  dialog.OnSaveProgress(1, 3, "a.jpg", 0);
  QVERIFY(dialog.GetStatusText().contains("1 saved, 0 partial, 0 failed"));
  SAVE_SUMMARY summary;
  summary.Add(0);
  summary.Add(STATUS_PARTIAL_SAVE);
  summary.Add(ENOSPC);
  std::vector<SAVE_OUTCOME> outcomes(3);
  outcomes[0].nStatus = 0;
  outcomes[1].nStatus = STATUS_PARTIAL_SAVE;
  outcomes[2].nStatus = ENOSPC;
  dialog.ShowSummary(ENOSPC, summary, outcomes, {"a.jpg", "b.pdf", "c.txt"});
  QVERIFY(dialog.IsFinished());
  QString text = dialog.GetSummaryText();
  QVERIFY2(text.contains("1 saved, 1 partial, 1 failed"), qPrintable(text));
  QVERIFY2(text.contains("1 failed: " + QString::fromStdString(StatusText(ENOSPC))), qPrintable(text));
  QVERIFY(dialog.GetHeadingText().contains("problems"));
  QVERIFY(dialog.GetOpenFolderButton()->isVisible());
  QCOMPARE(dialog.GetDetail()->GetTable()->item(0, 0)->text(), QStringLiteral("c.txt"));
  QVERIFY(dialog.isVisible());  // stays for the user to read
  dialog.GetCancelButton()->click();
  QVERIFY(!dialog.isVisible());
}

void TestDialogs::stopAsksAndWaitsForWorker() {
  std::atomic<bool> cancel{false};
  SCANUI dialog(nullptr, SCANUI::MODE_SCAN, &cancel);
  dialog.show();
  QString asked;
  {
    CModalDriver no("cancelQuestion", [&asked](QWidget* w) {
      asked = static_cast<CMessageBox*>(w)->GetText();
      w->findChild<QPushButton*>("noButton")->click();
      return true;
    });
    dialog.GetCancelButton()->click();
    QVERIFY(no.Done());
  }
  QVERIFY(asked.startsWith("Stop the scan?"));
  QVERIFY(dialog.isVisible() && !cancel);
  // A right click does nothing at all.
  QTest::mouseClick(&dialog, Qt::RightButton, Qt::NoModifier, QPoint(4, 4));
  QVERIFY(dialog.isVisible() && !FindTopLevel("cancelQuestion"));

  // Yes: the flag goes up, the dialog waits for the worker and then closes.
  CModalDriver yes("cancelQuestion", [](QWidget* w) {
    w->findChild<QPushButton*>("yesButton")->click();
    return true;
  });
  dialog.GetCancelButton()->click();
  QVERIFY(yes.Done());
  QVERIFY(cancel);
  QVERIFY(dialog.isVisible() && dialog.IsStopping());
  QVERIFY(!dialog.GetCancelButton()->isEnabled());
  dialog.OnWorkerFinished();
  QVERIFY(!dialog.isVisible());
}

void TestDialogs::categoryBoxesDriveAllBox() {
  DRUI window;
  window.Init();
  QCheckBox* all = window.findChild<QCheckBox*>("checkAll");
  QList<QCheckBox*> boxes;
  for (const char* n : {"checkPhoto", "checkAudio", "checkDocument", "checkVideo", "checkArchive", "checkOther"})
    boxes << window.findChild<QCheckBox*>(n);
  QPushButton* start = nullptr;
  for (QPushButton* b : window.findChildren<QPushButton*>())
    if (b->property("role").toString() == "start") start = b;
  QVERIFY(all && start);
  QCOMPARE(all->checkState(), Qt::Checked);
  boxes[0]->click();  // five of six
  QCOMPARE(all->checkState(), Qt::PartiallyChecked);
  QVERIFY(start->isEnabled());
  for (QCheckBox* b : boxes)
    if (b->isChecked()) b->click();
  QCOMPARE(all->checkState(), Qt::Unchecked);
  QVERIFY(!start->isEnabled());
  all->click();  // a click never lands on "some": all on
  QCOMPARE(all->checkState(), Qt::Checked);
  for (QCheckBox* b : boxes) QVERIFY(b->isChecked());
  all->click();
  for (QCheckBox* b : boxes) QVERIFY(!b->isChecked());
  all->click();
  // Enter on the first page goes on to the disks.
  QCOMPARE(window.CurrentPage(), 0);
  window.show();
  start->setFocus();
  QTest::keyClick(&window, Qt::Key_Return);
  QCOMPARE(window.CurrentPage(), 1);
}

void TestDialogs::categoryNamesMatchTheirFolders() {
  // One set of names: the category a file is listed under names the folder it is saved in.
  const char* folders[CATEGORY_COUNT] = {"photo", "audio", "document", "video", "archive", "others"};
  const char* titles[CATEGORY_COUNT] = {"Photos", "Audio", "Documents", "Videos", "Archives", "Other files"};
  const char* samples[CATEGORY_COUNT] = {"a.jpg", "a.mp3", "a.pdf", "a.mkv", "a.7z", "a.qqq"};
  for (int k = 0; k < CATEGORY_COUNT; ++k) {
    QCOMPARE(QString(CategoryTitle(k)), QString(titles[k]));
    QCOMPARE(QString(category::FolderOfFileName(samples[k])), QString(folders[k]));
    QVERIFY(QFile::exists(QString::fromLatin1(CategoryIcon(k))));
  }
  // Whole extension entries: ".avi" is not a prefix of ".avif", ".b" not of ".bmp".
  QCOMPARE(QString(category::FolderOfFileName("clip.avi")), QStringLiteral("video"));
  QCOMPARE(QString(category::FolderOfFileName("a.b")), QStringLiteral("others"));
  QCOMPARE(GetExtendNameIcon("JPEG"), QStringLiteral(":/image/FileIcon/jpg.png"));
  QCOMPARE(GetExtendNameIcon("nef"), QStringLiteral(":/image/FileIcon/image.png"));
  QCOMPARE(GetExtendNameIcon("qqq"), QStringLiteral(":/image/FileIcon/other.png"));
}

void TestDialogs::previewDecoders() {
  // Text is wrapped by the widget, not broken every 256 bytes; a UTF-8
  // character cut by the end of the read is dropped, not shown broken.
  QByteArray words;
  while (words.size() < 700) words += "Grüße aus Köln, ";
  QString text = DecodeText(words + QByteArray("\xC3", 1));
  QVERIFY(!text.contains('\n') && !text.contains(QChar(0xFFFD)));
  QVERIFY(text.startsWith(QStringLiteral("Grüße aus Köln")));
  QCOMPARE(DecodeText(QByteArray("caf\xE9 cr\xE8me")), QStringLiteral("café crème"));  // Latin-1
  QCOMPARE(DecodeText(QByteArray("a\x01" "b")), QString("a") + QChar(0xFFFD) + "b");
  QVERIFY(LooksLikeText(words));
  QVERIFY(!LooksLikeText(QByteArray("PK\x03\x04\0\0", 6)));
  QVERIFY(HexDump(QByteArray("PK\x03\x04", 4), 64).startsWith("00000000  50 4b 03 04"));

  // A camera RAW file: the JPEG it carries, found among its other bytes.
  QImage picture(64, 48, QImage::Format_RGB32);
  picture.fill(Qt::darkGreen);
  QByteArray jpeg;
  QBuffer out(&jpeg);
  out.open(QIODevice::WriteOnly);
  QVERIFY(picture.save(&out, "JPEG"));
  QByteArray raw = QByteArray("II*\0", 4) + QByteArray(5000, '\x11') + jpeg + QByteArray(3000, '\x22');
  QCOMPARE(FindEmbeddedJpeg(raw), jpeg);
  PREVIEW_RESULT shown = DecodePreview(raw, "IMG_0001.CR2", static_cast<u64>(raw.size()), QSize(32, 32));
  QCOMPARE(shown.eKind, PREVIEW_RESULT::PICTURE);
  QCOMPARE(shown.image.size(), QSize(32, 24));
  QVERIFY(shown.strInfo.contains("64 \u00d7 48"));

  // Sound: its type and playing time instead of bytes.
  QByteArray wav("RIFF\0\0\0\0WAVEfmt ", 16);
  auto le32 = [](QByteArray& b, quint32 v) { for (int i = 0; i < 4; ++i) b += static_cast<char>((v >> (8 * i)) & 0xFF); };
  le32(wav, 16);
  wav += QByteArray("\x01\0\x01\0", 4);
  le32(wav, 8000);   // samples a second
  le32(wav, 16000);  // bytes a second
  wav += QByteArray("\x02\0\x10\0", 4);
  wav += "data";
  le32(wav, 16000 * 185);
  QCOMPARE(MediaDescription(wav, "wav", 16000 * 185 + 44), QStringLiteral("WAV audio, 3 min 5 s"));
  shown = DecodePreview(wav, "take.wav", 16000 * 185 + 44, QSize(100, 100));
  QCOMPARE(shown.eKind, PREVIEW_RESULT::INFO);
  QVERIFY(shown.strInfo.startsWith("WAV audio, 3 min 5 s, 2.8 MB"));
}

void TestDialogs::pdfFirstPageIsDrawn() {
  QByteArray pdf;
  {
    QBuffer out(&pdf);
    out.open(QIODevice::WriteOnly);
    QPdfWriter writer(&out);
    QPainter painter(&writer);
    painter.drawText(QPointF(100, 100), QStringLiteral("first page"));
    writer.newPage();
    painter.drawText(QPointF(100, 100), QStringLiteral("second page"));
  }
  PREVIEW_RESULT shown = DecodePreview(pdf, "Tax return.pdf", static_cast<u64>(pdf.size()), QSize(300, 200));
  QCOMPARE(shown.eKind, PREVIEW_RESULT::PICTURE);
  QVERIFY(shown.image.height() == 200 || shown.image.width() == 300);
  QVERIFY2(shown.strInfo.contains("page 1 of 2"), qPrintable(shown.strInfo));
  shown = DecodePreview(pdf.left(pdf.size() / 3), "cut.pdf", static_cast<u64>(pdf.size()), QSize(300, 200));
  QCOMPARE(shown.eKind, PREVIEW_RESULT::INFO);
}

void TestDialogs::deleteTmpFileRemovesOnlyOurPreviewFiles() {
  std::string dir = testfiles::FreshDir("app-tmpfiles");
  std::string outside = testfiles::FreshDir("app-tmpfiles-outside");
  for (const char* n : {"tmp.jpg", "tmp.png", "xtmp.pdf", "tmp.jpg.keep", "config", "temp.jpg"})
    QVERIFY(testfiles::WriteAll(dir + "/" + n, "x", 1));
  QVERIFY(testfiles::WriteAll(outside + "/tmp.doc", "x", 1));
  QVERIFY(symlink((outside + "/tmp.doc").c_str(), (dir + "/tmp.lnk").c_str()) == 0);
  mkdir((dir + "/tmp.dir").c_str(), 0755);
  QVERIFY(DeleteTmpFile(dir.c_str()) != 0);
  for (const char* gone : {"tmp.jpg", "tmp.png"}) QVERIFY(access((dir + "/" + gone).c_str(), F_OK) != 0);
  struct stat st;
  for (const char* kept : {"xtmp.pdf", "tmp.jpg.keep", "config", "temp.jpg", "tmp.dir", "tmp.lnk"})
    QVERIFY2(lstat((dir + "/" + kept).c_str(), &st) == 0, kept);
  QVERIFY(access((outside + "/tmp.doc").c_str(), F_OK) == 0);
  // A link in the folder's place is not followed.
  std::string planted = testfiles::FreshDir("app-tmpfiles-link") + "/ScanLog";
  QVERIFY(symlink(outside.c_str(), planted.c_str()) == 0);
  QVERIFY(testfiles::WriteAll(outside + "/tmp.png", "x", 1));
  QCOMPARE(DeleteTmpFile(planted.c_str()), 0);
  QVERIFY(access((outside + "/tmp.png").c_str(), F_OK) == 0);
  QCOMPARE(DeleteTmpFile((dir + "/missing").c_str()), 0);
}

void TestDialogs::programLogAppendsPrivately() {
  std::string support = testfiles::FreshDir("app-log");
  std::string old = getenv("TORVANE_SUPPORT_DIR");
  setenv("TORVANE_SUPPORT_DIR", support.c_str(), 1);
  std::string log = support + "/torvane-recovery.log";
  QVERIFY(testfiles::WriteAll(log, "earlier\n", 8));
  chmod(log.c_str(), 0600);
  int fd = OpenProgramLog();
  QVERIFY(fd >= 0);
  QVERIFY(write(fd, "later\n", 6) == 6);
  close(fd);
  std::vector<unsigned char> text = testfiles::ReadAll(log);
  QCOMPARE(std::string(text.begin(), text.end()), std::string("earlier\nlater\n"));
  struct stat st;
  QVERIFY(stat(log.c_str(), &st) == 0);
  QCOMPARE(st.st_mode & 0777, mode_t(0600));
  // A link planted at the log's name is refused, and its target untouched.
  std::string victim = testfiles::FreshDir("app-log-victim") + "/precious.txt";
  QVERIFY(testfiles::WriteAll(victim, "keep", 4));
  unlink(log.c_str());
  QVERIFY(symlink(victim.c_str(), log.c_str()) == 0);
  QCOMPARE(OpenProgramLog(), -1);
  QCOMPARE(testfiles::ReadAll(victim).size(), size_t(4));
  setenv("TORVANE_SUPPORT_DIR", old.c_str(), 1);
}

void TestDialogs::startArgumentsAndElevation() {
  QCOMPARE(ParseStartArguments({"torvane-recovery"}).eRole, ROLE_LAUNCHER);
  QCOMPARE(ParseStartArguments({"torvane-recovery", "start"}).eRole, ROLE_PRIVILEGED);
  START_OPTIONS o = ParseStartArguments({"p", "--image", "/a.img", "start", "--image=/b.img", "--support-dir", "/s"});
  QCOMPARE(o.eRole, ROLE_PRIVILEGED);
  QCOMPARE(o.images, QStringList({"/a.img", "/b.img"}));
  QCOMPARE(o.strSupportDir, QStringLiteral("/s"));

  setenv("DISPLAY", ":7", 1);
  setenv("XAUTHORITY", "/home/u/.Xauthority", 1);
  setenv("TORVANE_DISKS", "/dev/sda", 1);
  QStringList args = BuildElevationArguments("/opt/t/torvane-recovery", {"/i 1.img"}, "/home/u/.local/share/t");
  QCOMPARE(args.first(), QStringLiteral("env"));
  QVERIFY(args.contains("DISPLAY=:7"));
  QVERIFY(args.contains("XAUTHORITY=/home/u/.Xauthority"));
  // The user's own settings do not pass as environment.
  for (const QString& a : args) QVERIFY2(!a.startsWith("TORVANE_"), qPrintable(a));
  int exe = args.indexOf("/opt/t/torvane-recovery");
  QCOMPARE(args.mid(exe + 1), QStringList({"start", "--support-dir", "/home/u/.local/share/t", "--image", "/i 1.img"}));
  QCOMPARE(ParseStartArguments(QStringList{"x"} + args.mid(exe + 1)).eRole, ROLE_PRIVILEGED);

  // Images are handed over only when the launching user can read them.
  std::string dir = testfiles::FreshDir("app-elevate");
  QVERIFY(testfiles::WriteAll(dir + "/ok.img", "x", 1));
  setenv("TORVANE_DISKS", (dir + "/missing.img").c_str(), 1);
  QCOMPARE(ImagesForElevation({QString::fromStdString(dir + "/ok.img")}), QStringList({QString::fromStdString(dir + "/ok.img")}));
  setenv("TORVANE_DISKS", "/nonexistent-disk-for-tests", 1);
}

void TestDialogs::privilegedSettingsAreCheckedAsTheUser() {
  if (geteuid() != 0) QSKIP("needs root to act as another user");
  unsetenv("SUDO_UID");
  unsetenv("SUDO_GID");
  setenv("PKEXEC_UID", "4321", 1);
  uid_t uid = 0;
  gid_t gid = 0;
  QVERIFY(GetInvokingUser(uid, gid));
  QCOMPARE(uid, uid_t(4321));
  std::string dir = testfiles::FreshDir("app-asuser");
  chmod(dir.c_str(), 0755);
  QVERIFY(testfiles::WriteAll(dir + "/open.img", "x", 1));
  QVERIFY(testfiles::WriteAll(dir + "/private.img", "x", 1));
  chmod((dir + "/open.img").c_str(), 0644);
  chmod((dir + "/private.img").c_str(), 0600);
  QVERIFY(UserCanRead(dir + "/open.img", 4321, 4321));
  QVERIFY(!UserCanRead(dir + "/private.img", 4321, 4321));
  // A support folder is the user's only when the user owns it and nobody else may write there.
  std::string mine = dir + "/mine", theirs = dir + "/theirs";
  mkdir(mine.c_str(), 0700);
  mkdir(theirs.c_str(), 0700);
  QVERIFY(chown(mine.c_str(), 4321, 4321) == 0);
  QCOMPARE(CheckUserFolder(mine, 4321), 0);
  QCOMPARE(CheckUserFolder(theirs, 4321), int(STATUS_UNSAFE_PATH));
  std::string old = getenv("TORVANE_SUPPORT_DIR");
  START_OPTIONS opt;
  opt.images = {QString::fromStdString(dir + "/open.img"), QString::fromStdString(dir + "/private.img")};
  opt.strSupportDir = QString::fromStdString(theirs);
  QStringList notes = ApplyPrivilegedSettings(opt);
  QCOMPARE(opt.images, QStringList({QString::fromStdString(dir + "/open.img")}));
  QCOMPARE(std::string(getenv("TORVANE_SUPPORT_DIR")), old);
  QCOMPARE(notes.size(), 2);
  opt.strSupportDir = QString::fromStdString(mine);
  ApplyPrivilegedSettings(opt);
  QCOMPARE(std::string(getenv("TORVANE_SUPPORT_DIR")), mine);
  setenv("TORVANE_SUPPORT_DIR", old.c_str(), 1);
  unsetenv("PKEXEC_UID");
}

void TestDialogs::openFolderWithoutOpenerSaysSo() {
  std::string empty = testfiles::FreshDir("app-nopath");
  std::string oldPath = getenv("PATH");
  setenv("PATH", empty.c_str(), 1);
  QString message = OpenFolderForUser("/some/where");
  setenv("PATH", oldPath.c_str(), 1);
  QVERIFY2(message.contains("xdg-open") && message.contains("/some/where"), qPrintable(message));
}

QTEST_MAIN(TestDialogs)
#include "test_dialogs.moc"
