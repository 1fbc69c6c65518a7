// The small dialogs, the progress dialog's arithmetic and closing, the first
// page's check boxes, the category helpers and the start-up helpers.
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <QCheckBox>
#include <QLabel>
#include <QMouseEvent>
#include <QProgressBar>
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
#include "app/ScanUI.h"
#include "tests/support/TestFiles.h"

class TestDialogs : public QObject {
  Q_OBJECT
 private slots:
  void initTestCase();
  void detailOrdersFailuresFirstAndCounts();
  void messageBoxAnswers();
  void progressArithmeticAndTexts();
  void scanDialogClosesOnlyOnFinalReport();
  void searchAndPreviewDialogsClose();
  void recoveryDialogListsFilesAndEndReport();
  void cancelAsksAndWaitsForWorker();
  void categoryBoxesDriveRecoverAll();
  void categoryHelpers();
  void previewTextFormatting();
  void deleteTmpFileKeepsOthers();
  void startArguments();
  void invokingUserAndHandOver();
  void sameDeviceCheck();
};

void TestDialogs::initTestCase() {
  std::string support = testfiles::FreshDir("app-dialogs-support");
  setenv("TORVANE_SUPPORT_DIR", support.c_str(), 1);
  setenv("TORVANE_DISKS", "/nonexistent-disk-for-tests", 1);
}

void TestDialogs::detailOrdersFailuresFirstAndCounts() {
  CDetail detail;
  QCOMPARE(detail.GetHeadingText(), QStringLiteral("  Recovery Detail\n  Sucess:0 Failed:0\n"));
  detail.AddTableItem("a", 1);
  detail.AddTableItem("b", 0);
  detail.AddTableItem("c", 5);
  detail.AddTableItem("d", 0);
  QTableWidget* t = detail.GetTable();
  QCOMPARE(t->rowCount(), 4);
  QStringList names, states;
  for (int r = 0; r < 4; ++r) {
    names << t->item(r, 0)->text();
    states << t->item(r, 1)->text();
    QCOMPARE(t->rowHeight(r), 22);
  }
  QCOMPARE(names, QStringList({"c", "a", "b", "d"}));
  QCOMPARE(states, QStringList({"Failed", "Failed", "Success", "Success"}));
  QCOMPARE(t->item(0, 1)->foreground().color(), QColor(255, 0, 0));
  QCOMPARE(detail.GetSuccessCount(), 2);
  QCOMPARE(detail.GetFailedCount(), 2);
  QCOMPARE(detail.GetHeadingText(), QStringLiteral("  Recovery Detail\n  Sucess:2 Failed:2\n"));
  QCOMPARE(t->columnWidth(0), 400);
  QCOMPARE(t->editTriggers(), QAbstractItemView::NoEditTriggers);
}

void TestDialogs::messageBoxAnswers() {
  {
    CMessageBox box;
    box.setObjectName("q1");
    box.InitQuestionDialog("Proceed?", false);
    CModalDriver driver("q1", [](QWidget* w) {
      w->findChild<QPushButton*>("yesButton")->click();
      return true;
    });
    box.exec();
    QVERIFY(driver.Done());
    QCOMPARE(box.GetMessageBoxRet(), 1);
    QCOMPARE(box.GetText(), QStringLiteral("Proceed?"));
  }
  {
    CMessageBox box;
    box.setObjectName("q2");
    box.InitQuestionDialog("Proceed?", false);
    CModalDriver driver("q2", [](QWidget* w) {
      w->findChild<QPushButton*>("noButton")->click();
      return true;
    });
    box.exec();
    QVERIFY(driver.Done());
    QCOMPARE(box.GetMessageBoxRet(), 0);
  }
  {
    // A right click closes the window and counts as "No", even after a "Yes"
    // answer of an earlier question on the same box.
    CMessageBox box;
    box.setObjectName("q3");
    box.InitQuestionDialog("Proceed?", false);
    CModalDriver driver("q3", [](QWidget* w) {
      QMouseEvent press(QEvent::MouseButtonPress, QPointF(5, 5), w->mapToGlobal(QPointF(5, 5)), Qt::RightButton,
                        Qt::RightButton, Qt::NoModifier);
      QApplication::sendEvent(w, &press);
      return true;
    });
    box.exec();
    QVERIFY(driver.Done());
    QVERIFY(!box.isVisible());
    QCOMPARE(box.GetMessageBoxRet(), 0);
  }
}

void TestDialogs::progressArithmeticAndTexts() {
  QCOMPARE(ProgressBarValue(10, 90), 9);
  QCOMPARE(ProgressBarValue(110, 90), 99);
  QCOMPARE(ProgressBarValue(52, 90), 46);
  QCOMPARE(ProgressBarValue(100, 9), 9);
  QCOMPARE(ProgressBarValue(100, 100), 100);
  QCOMPARE(ProgressBarValue(100, 1000), 100);  // end-of-run report of a recovery
  QCOMPARE(ProgressBarValue(-5, 100), 0);
  QCOMPARE(ScanStatusText(52, 90, -1, "150", "300", "7"),
           QStringLiteral("  Current Process: 46%\n  Reading Sector: 150/300\n  Total Files Found: 7\n  "
                          "Estimated time is calculating\n"));
  QCOMPARE(ScanStatusText(52, 90, 125, "150", "300", "7"),
           QStringLiteral("  Current Process: 46%\n  Reading Sector: 150/300\n  Total Files Found: 7\n  "
                          "Estimated Time Left: 2 Min 5 Sec\n"));
  QCOMPARE(ScanStatusText(50, 9, 30, "0", "0", "0"),
           QStringLiteral("  Current Process: 4%\n  Estimated time is calculating\n"));
}

void TestDialogs::scanDialogClosesOnlyOnFinalReport() {
  DRUI owner;
  SCANUI dialog;
  dialog.InitSlot(&owner, OPERATION_SCAN);
  QCOMPARE(dialog.GetStatusText(), QStringLiteral("  Current Process: 0%\n  Estimated Time Left: 0 second\n"));
  QVERIFY(dialog.GetHeadingText().contains("Scan File"));
  dialog.show();
  QVERIFY(SCANUI::m_progressBar != nullptr);
  dialog.ScanProcessCallBackSlot(60, 90, -1, "10", "20", "3", {});
  QCOMPARE(dialog.GetBarValue(), 54);
  QVERIFY(dialog.GetStatusText().contains("Estimated time is calculating"));
  dialog.ScanProcessCallBackSlot(99, 101, 0, "0", "0", "0", {});  // 9999
  QVERIFY(!dialog.IsFinished());
  QVERIFY(dialog.isVisible());
  dialog.ScanProcessCallBackSlot(100, 100, 0, "0", "0", "0", {});  // 10000
  QVERIFY(dialog.IsFinished());
  QVERIFY(!dialog.isVisible());
  QCOMPARE(dialog.GetBarValue(), 100);

  // Reports sent from another thread arrive queued, in the GUI thread.
  SCANUI queued;
  queued.InitSlot(&owner, OPERATION_SCAN);
  queued.show();
  std::thread worker([&owner] { emit owner.ScanProcessCallBack(110, 90, 3, "20", "20", "9", QString()); });
  worker.join();
  QCOMPARE(queued.GetBarValue(), 0);  // not delivered yet: nothing touched the widget off the GUI thread
  QTRY_COMPARE(queued.GetBarValue(), 99);
  QVERIFY(queued.GetStatusText().contains("Total Files Found: 9"));
  QVERIFY(queued.isVisible());
  queued.ScanProcessCallBackSlot(100, 100, 0, "0", "0", "0", {});
  QVERIFY(!queued.isVisible());
}

void TestDialogs::searchAndPreviewDialogsClose() {
  DRUI owner;
  {
    SCANUI dialog;
    dialog.InitSlot(&owner, OPERATION_SEARCH);
    QCOMPARE(dialog.GetStatusText(), QString());
    dialog.show();
    owner.GetFlags(OPERATION_SEARCH).bDone = false;
    dialog.SearchCallBackSlot(100, {});  // the store read everything, the search is not done
    QVERIFY(dialog.isVisible());
    QCOMPARE(dialog.GetStatusText(), QStringLiteral("  Process: 100%\n  Searching drive for recovery files"));
    owner.GetFlags(OPERATION_SEARCH).bDone = true;
    dialog.SearchCallBackSlot(100, {});
    QVERIFY(!dialog.isVisible());
  }
  {
    SCANUI dialog;
    dialog.SetFileName("holiday.jpg");
    dialog.InitSlot(&owner, OPERATION_PREVIEW);
    QCOMPARE(dialog.GetHeadingText(), QStringLiteral("  Preview File\n  holiday.jpg\n"));
    dialog.show();
    dialog.PreViewCallBackSlot(40, 0);
    QVERIFY(dialog.isVisible());
    QCOMPARE(dialog.GetStatusText(), QStringLiteral("  Process: 40%\n  Previewing file:holiday.jpg"));
    dialog.PreViewCallBackSlot(100, 0);
    QVERIFY(!dialog.isVisible());
  }
}

void TestDialogs::recoveryDialogListsFilesAndEndReport() {
  DRUI owner;
  SCANUI dialog;
  dialog.SetSaveDir("/dest");
  dialog.InitSlot(&owner, OPERATION_RECOVERY);
  dialog.show();
  QVERIFY(dialog.GetDetail() != nullptr);
  dialog.RecoveryCallBackSlot(50, 100, 0, "/dest/photo/a.jpg");
  QCOMPARE(dialog.GetDetail()->GetTable()->rowCount(), 0);
  QCOMPARE(dialog.GetStatusText(), QStringLiteral("  Process: 50%\n  Destination: /dest/photo/a.jpg"));
  dialog.RecoveryCallBackSlot(100, 100, 0, "/dest/photo/a.jpg");
  dialog.RecoveryCallBackSlot(100, 100, 5, "/dest/photo/b.jpg");
  QCOMPARE(dialog.GetDetail()->GetSuccessCount(), 1);
  QCOMPARE(dialog.GetDetail()->GetFailedCount(), 1);
  // The end-of-run report, even before the worker has raised its flags,
  // finishes the run and adds no row.
  owner.GetFlags(OPERATION_RECOVERY).bCancel = false;
  dialog.RecoveryCallBackSlot(100, 1000, 0, QString());
  QVERIFY(dialog.IsFinished());
  QCOMPARE(dialog.GetCancelButton()->text(), QStringLiteral("Finished"));
  QCOMPARE(dialog.GetDetail()->GetTable()->rowCount(), 2);
  QVERIFY(dialog.isVisible());  // stays for the user to read
  dialog.GetCancelButton()->click();
  QVERIFY(!dialog.isVisible());
}

void TestDialogs::cancelAsksAndWaitsForWorker() {
  DRUI owner;
  OPERATION_FLAGS& flags = owner.GetFlags(OPERATION_RECOVERY);
  flags.bCancel = false;
  flags.bDone = false;
  SCANUI dialog;
  dialog.setObjectName("progressUnderTest");
  dialog.InitSlot(&owner, OPERATION_RECOVERY);
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
  QCOMPARE(asked, QStringLiteral("Are you sure to cancel the recoverying?"));
  QVERIFY(dialog.isVisible());
  QVERIFY(!flags.bCancel);

  // "Yes": the cancel flag goes up, and the dialog stays until the worker
  // says it is done.
  std::atomic<bool> sawCancel{false};
  std::thread worker([&] {
    while (!flags.bCancel) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    sawCancel = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    flags.bDone = true;
  });
  QElapsedTimer timer;
  timer.start();
  CModalDriver yes("cancelQuestion", [](QWidget* w) {
    w->findChild<QPushButton*>("yesButton")->click();
    return true;
  });
  dialog.GetCancelButton()->click();
  worker.join();
  QVERIFY(yes.Done());
  QVERIFY(sawCancel);
  QVERIFY(timer.elapsed() >= 250);
  QVERIFY(!dialog.isVisible());
  QCOMPARE(dialog.GetBarValue(), 0);

  // A right click goes through the same question.
  SCANUI scan;
  scan.setObjectName("scanUnderTest");
  scan.InitSlot(&owner, OPERATION_SCAN);
  scan.show();
  QString scanQuestion;
  CModalDriver no2("cancelQuestion", [&scanQuestion](QWidget* w) {
    scanQuestion = static_cast<CMessageBox*>(w)->GetText();
    w->findChild<QPushButton*>("noButton")->click();
    return true;
  });
  QMouseEvent press(QEvent::MouseButtonPress, QPointF(3, 3), scan.mapToGlobal(QPointF(3, 3)), Qt::RightButton,
                    Qt::RightButton, Qt::NoModifier);
  QApplication::sendEvent(&scan, &press);
  QCOMPARE(scanQuestion, QStringLiteral("Are you sure to cancel the scanning?"));
  QVERIFY(scan.isVisible());
}

void TestDialogs::categoryBoxesDriveRecoverAll() {
  DRUI window;
  window.Init();
  QCheckBox* all = window.findChild<QCheckBox*>("checkAll");
  QCheckBox* photo = window.findChild<QCheckBox*>("checkPhoto");
  QCheckBox* other = window.findChild<QCheckBox*>("checkOther");
  QList<QCheckBox*> boxes;
  for (const char* n : {"checkPhoto", "checkMusic", "checkDocument", "checkVideo", "checkArchive", "checkOther"})
    boxes << window.findChild<QCheckBox*>(n);
  QPushButton* start = nullptr;
  for (QPushButton* b : window.findChildren<QPushButton*>())
    if (b->property("role").toString() == "start") start = b;
  QVERIFY(all && photo && other && start);
  QCOMPARE(all->checkState(), Qt::Checked);
  QVERIFY(start->isEnabled());

  photo->click();  // five of six
  QCOMPARE(all->checkState(), Qt::PartiallyChecked);
  QVERIFY(start->isEnabled());
  for (QCheckBox* b : boxes)
    if (b->isChecked()) b->click();
  QCOMPARE(all->checkState(), Qt::Unchecked);
  QVERIFY(!start->isEnabled());
  other->click();
  QCOMPARE(all->checkState(), Qt::PartiallyChecked);
  QVERIFY(start->isEnabled());
  for (QCheckBox* b : boxes)
    if (!b->isChecked()) b->click();
  QCOMPARE(all->checkState(), Qt::Checked);

  all->click();  // checked -> a user's click never lands on "partial": all off
  QVERIFY(all->checkState() != Qt::PartiallyChecked);
  bool anyChecked = false;
  for (QCheckBox* b : boxes) anyChecked |= b->isChecked();
  QCOMPARE(anyChecked, all->checkState() == Qt::Checked);
  QCOMPARE(start->isEnabled(), all->checkState() == Qt::Checked);
  all->click();
  for (QCheckBox* b : boxes) QCOMPARE(b->isChecked(), all->checkState() == Qt::Checked);
  QCOMPARE(start->isEnabled(), all->checkState() == Qt::Checked);

  start->setEnabled(true);
  if (all->checkState() != Qt::Checked) all->click();
  QCOMPARE(window.CurrentPage(), 0);
  start->click();
  QCOMPARE(window.CurrentPage(), 1);
}

void TestDialogs::categoryHelpers() {
  QCOMPARE(QString(GetDirTypeByFileName("clip.RM")), QStringLiteral("audio"));  // music list comes first
  QCOMPARE(QString(GetDirTypeByFileName("noext")), QStringLiteral("others"));
  QCOMPARE(QString(GetDirTypeByFileName("a.")), QStringLiteral("others"));  // needle "*." too short
  QCOMPARE(QString(GetDirTypeByFileName("a.b")), QStringLiteral("others"));  // whole entries: "*.b" is not "*.bmp"
  QCOMPARE(QString(GetDirTypeByFileName("clip.avi")), QStringLiteral("video"));  // nor "*.avi" "*.avif"
  QCOMPARE(QString(GetDirTypeByFileName("IMG_1.JPG")), QStringLiteral("photo"));
  QCOMPARE(QString(GetDirTypeByFileName("x.dotx")), QStringLiteral("archive"));
  QCOMPARE(QString(GetDirTypeByFileName("film.mkv")), QStringLiteral("video"));
  QCOMPARE(QString(GetDirTypeByFileName("r.pdf")), QStringLiteral("document"));

  QCOMPARE(GetExtendNameIcon("JPEG"), QStringLiteral(":/image/FileIcon/jpg.png"));
  QCOMPARE(GetExtendNameIcon("tiff"), QStringLiteral(":/image/FileIcon/tif.png"));
  QCOMPARE(GetExtendNameIcon(".mp3"), QStringLiteral(":/image/FileIcon/mp3.png"));
  QCOMPARE(GetExtendNameIcon("nef"), QStringLiteral(":/image/FileIcon/image.png"));
  QCOMPARE(GetExtendNameIcon("dotx"), QStringLiteral(":/image/FileIcon/office_default.png"));
  QCOMPARE(GetExtendNameIcon("arj"), QStringLiteral(":/image/FileIcon/zip.png"));
  QCOMPARE(GetExtendNameIcon("mkv"), QStringLiteral(":/image/FileIcon/video_default.png"));
  QCOMPARE(GetExtendNameIcon("qqq"), QStringLiteral(":/image/FileIcon/other.png"));
  // Every icon the table can name is in the resources.
  for (const char* e : {"7z", "accdb", "jpeg", "tiff", "video_default", "photo_default", "wps", "default", "epson"})
    QVERIFY2(QFile::exists(GetExtendNameIcon(e)), e);

  bool only[CATEGORY_COUNT] = {false, false, false, false, true, true};
  std::wstring pattern = BuildSearchPattern(only);
  QVERIFY(pattern.find(L"*.zip|") != std::wstring::npos);
  QVERIFY(pattern.find(L"*.vcf") != std::wstring::npos);  // second archive list
  QVERIFY(pattern.size() >= 7 && pattern.compare(pattern.size() - 7, 7, L"*.other") == 0);
  QVERIFY(pattern.find(L"*.jpg") == std::wstring::npos);

  QCOMPARE(SelectionLabelText(0, 0), QStringLiteral("Select 0 Bytes in 0 file"));
  QCOMPARE(SelectionLabelText(2048, 1), QStringLiteral("Select 2.00 KB in 1 file"));
  QCOMPARE(SelectionLabelText(3 * 1024 * 1024, 2), QStringLiteral("Select 3.00 MB in 2 files"));

  _FILE_NODE_ node;
  memset(&node, 0, sizeof(node));
  memset(node.szFileName, 'A', sizeof(node.szFileName));  // no terminator: must not read past the field
  QCOMPARE(NodeName(node).size(), sizeof(node.szFileName));
  QCOMPARE(QString::fromStdString(NodeExtensionKey(node)), QStringLiteral("unKnow"));
  strcpy(node.szFileName, "Photo.JpG");
  QCOMPARE(QString::fromStdString(NodeExtensionKey(node)), QStringLiteral("jpg"));
  strcpy(node.szFileName, "trailing.");
  QCOMPARE(QString::fromStdString(NodeExtensionKey(node)), QStringLiteral("unKnow"));
}

void TestDialogs::previewTextFormatting() {
  unsigned char buf[600];
  for (int i = 0; i < 600; ++i) buf[i] = static_cast<unsigned char>('a' + i % 26);
  buf[3] = 0;
  buf[4] = 0x01;
  QString text = WinHexBufData(buf, 600);
  QStringList lines = text.split("\r\n");
  QCOMPARE(lines.size(), 4);  // 256 + 256 + 88, each followed by a break
  QCOMPARE(lines[0].size(), 256);
  QCOMPARE(lines[1].size(), 256);
  QCOMPARE(lines[2].size(), 88);
  QVERIFY(lines[3].isEmpty());
  QVERIFY(lines[0].startsWith("abc.."));
  QCOMPARE(WinHexBufData(buf, 256).count("\r\n"), 1);
  QCOMPARE(WinHexBufData(buf, 0), QString());
}

void TestDialogs::deleteTmpFileKeepsOthers() {
  std::string dir = testfiles::FreshDir("app-tmpfiles");
  for (const char* n : {"tmp.jpg", "tmp.png", "xtmp.pdf", "config", "scan1", "temp.jpg"})
    QVERIFY(testfiles::WriteAll(dir + "/" + n, "x", 1));
  mkdir((dir + "/1").c_str(), 0755);
  char before[4096];
  QVERIFY(getcwd(before, sizeof(before)));
  QVERIFY(DeleteTmpFile(dir.c_str()) != 0);
  char after[4096];
  QVERIFY(getcwd(after, sizeof(after)));
  QCOMPARE(QString(after), QString(before));
  for (const char* gone : {"tmp.jpg", "tmp.png", "xtmp.pdf"}) QVERIFY(access((dir + "/" + gone).c_str(), F_OK) != 0);
  for (const char* kept : {"config", "scan1", "temp.jpg", "1"}) QVERIFY(access((dir + "/" + kept).c_str(), F_OK) == 0);
  QCOMPARE(DeleteTmpFile((dir + "/missing").c_str()), 0);
  QVERIFY(getcwd(after, sizeof(after)));
  QCOMPARE(QString(after), QString(before));
}

void TestDialogs::startArguments() {
  QCOMPARE(ParseStartArguments({"torvane-recovery"}).eRole, ROLE_LAUNCHER);
  QCOMPARE(ParseStartArguments({"torvane-recovery", "start"}).eRole, ROLE_PRIVILEGED);
  QCOMPARE(ParseStartArguments({"torvane-recovery", "anything"}).eRole, ROLE_PRIVILEGED);
  QCOMPARE(ParseStartArguments({"torvane-recovery", "start", "more"}).eRole, ROLE_LAUNCHER);
  START_OPTIONS o = ParseStartArguments({"p", "--image", "/a.img", "start", "--image=/b.img"});
  QCOMPARE(o.eRole, ROLE_PRIVILEGED);
  QCOMPARE(o.images, QStringList({"/a.img", "/b.img"}));
  o = ParseStartArguments({"p", "--image", "/a.img"});
  QCOMPARE(o.eRole, ROLE_LAUNCHER);
  QCOMPARE(o.images, QStringList({"/a.img"}));

  setenv("DISPLAY", ":7", 1);
  setenv("XAUTHORITY", "/home/u/.Xauthority", 1);
  QStringList args = BuildElevationArguments("/opt/t/torvane-recovery", {"/i 1.img"});
  QCOMPARE(args.first(), QStringLiteral("env"));
  QVERIFY(args.contains("DISPLAY=:7"));
  QVERIFY(args.contains("XAUTHORITY=/home/u/.Xauthority"));
  int exe = args.indexOf("/opt/t/torvane-recovery");
  QVERIFY(exe > 0);
  QCOMPARE(args.mid(exe + 1), QStringList({"start", "--image", "/i 1.img"}));
  QCOMPARE(ParseStartArguments(QStringList{"x"} + args.mid(exe + 1)).eRole, ROLE_PRIVILEGED);
}

void TestDialogs::invokingUserAndHandOver() {
  if (geteuid() != 0) QSKIP("needs root to change owners");
  uid_t uid = 0;
  gid_t gid = 0;
  unsetenv("PKEXEC_UID");
  unsetenv("SUDO_UID");
  unsetenv("SUDO_GID");
  QVERIFY(!GetInvokingUser(uid, gid));
  setenv("SUDO_UID", "1234", 1);
  setenv("SUDO_GID", "2345", 1);
  QVERIFY(GetInvokingUser(uid, gid));
  QCOMPARE(uid, uid_t(1234));
  QCOMPARE(gid, gid_t(2345));
  setenv("SUDO_UID", "12x", 1);
  QVERIFY(!GetInvokingUser(uid, gid));
  setenv("PKEXEC_UID", "0", 1);  // root asked for root: nothing to hand over
  QVERIFY(!GetInvokingUser(uid, gid));
  setenv("PKEXEC_UID", "4321", 1);
  QVERIFY(GetInvokingUser(uid, gid));
  QCOMPARE(uid, uid_t(4321));
  unsetenv("PKEXEC_UID");
  unsetenv("SUDO_UID");
  unsetenv("SUDO_GID");

  std::string dir = testfiles::FreshDir("app-chown");
  std::string outside = testfiles::FreshDir("app-chown-outside");
  QVERIFY(testfiles::WriteAll(outside + "/secret", "s", 1));
  mkdir((dir + "/saved").c_str(), 0755);
  mkdir((dir + "/saved/sub").c_str(), 0755);
  QVERIFY(testfiles::WriteAll(dir + "/saved/sub/a.txt", "a", 1));
  QVERIFY(symlink((outside + "/secret").c_str(), (dir + "/saved/link").c_str()) == 0);
  QCOMPARE(HandOverToUser(dir + "/saved", 1234, 2345), 4);
  struct stat st;
  for (const char* p : {"/saved", "/saved/sub", "/saved/sub/a.txt"}) {
    QVERIFY(lstat((dir + p).c_str(), &st) == 0);
    QCOMPARE(st.st_uid, uid_t(1234));
    QCOMPARE(st.st_gid, gid_t(2345));
  }
  QVERIFY(lstat((dir + "/saved/link").c_str(), &st) == 0);
  QCOMPARE(st.st_uid, uid_t(1234));
  QVERIFY(stat((outside + "/secret").c_str(), &st) == 0);
  QCOMPARE(st.st_uid, uid_t(0));  // the link was not followed
  QCOMPARE(HandOverToUser(dir + "/saved/sub/a.txt", 1, 1), 1);
  QCOMPARE(HandOverToUser(dir + "/missing", 1, 1), -1);
}

void TestDialogs::sameDeviceCheck() {
  std::string dir = testfiles::FreshDir("app-samedev");
  QVERIFY(testfiles::WriteAll(dir + "/disk.img", "0123", 4));
  mkdir((dir + "/out").c_str(), 0755);
  QVERIFY(IsOnScannedDevice(dir + "/out", dir + "/disk.img"));
  QVERIFY(!IsOnScannedDevice(dir + "/out", dir + "/missing.img"));
  QVERIFY(!IsOnScannedDevice("", dir + "/disk.img"));
  std::string other = FreshDestination("samedev");
  struct stat a, b;
  QVERIFY(stat(other.c_str(), &a) == 0 && stat(dir.c_str(), &b) == 0);
  QCOMPARE(IsOnScannedDevice(other, dir + "/disk.img"), a.st_dev == b.st_dev);

  // A block device: the disk holding a mounted file system is "the same
  // device" as every partition of that disk.
  struct stat root;
  QVERIFY(stat("/", &root) == 0);
  dev_t whole = WholeDiskOf(root.st_dev);
  char uevent[96];
  snprintf(uevent, sizeof(uevent), "/sys/dev/block/%u:%u/uevent", major(whole), minor(whole));
  std::vector<unsigned char> text = testfiles::ReadAll(uevent);
  std::string s(text.begin(), text.end());
  size_t at = s.find("DEVNAME=");
  if (at == std::string::npos) QSKIP("sysfs does not name the root file system's disk");
  std::string node = "/dev/" + s.substr(at + 8, s.find('\n', at) - at - 8);
  struct stat dev;
  if (stat(node.c_str(), &dev) != 0 || !S_ISBLK(dev.st_mode)) QSKIP("no device node for the root file system's disk");
  QCOMPARE(dev.st_rdev, whole);
  QVERIFY(IsOnScannedDevice("/", node));
  if (a.st_dev != root.st_dev) QVERIFY(!IsOnScannedDevice(other, node));
  rmdir(other.c_str());
}

QTEST_MAIN(TestDialogs)
#include "test_dialogs.moc"
