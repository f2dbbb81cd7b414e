#include "platform/os_win32.h"
// (the Windows headers first)
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/error_text.h"
#include "platform/files.h"
#include "platform/groups.h"
#include "platform/program_path.h"
#include "platform/service_manager.h"
#include "platform/syslog.h"
#include "platform/thread.h"

namespace kestran {
namespace {

std::string TempDir() {
  char buf[MAX_PATH + 1];
  DWORD n = ::GetTempPathA(sizeof buf, buf);
  std::string dir = std::string(buf, n) + "kestran-test-" + std::to_string(::GetCurrentProcessId());
  return dir;
}

TEST(Win32System, ErrorTextsAndLastError) {
  std::string text = SystemErrorText(1073);
  ASSERT_GE(text.size(), 3u);
  EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
  EXPECT_NE(text[text.size() - 3], '\n');
  EXPECT_EQ(SystemErrorText(0x2badbad), "");
  SetLastError(1060);
  EXPECT_EQ(GetLastError(), 1060u);
  EXPECT_EQ(::GetLastError(), 1060u);  // the system's own
  EXPECT_EQ(ErrorFromErrno(ENOENT), 2u);
  EXPECT_EQ(ErrorFromErrno(EEXIST), 80u);
}

TEST(Win32System, ProgramPathAndClock) {
  std::string path = ProgramPath();
  ASSERT_GT(path.size(), 4u);
  EXPECT_EQ(path.substr(path.size() - 4), ".exe");
  EXPECT_TRUE(FileExists(path));
  LocalTime t = NowLocal();
  EXPECT_GE(t.year, 2020);
  EXPECT_GE(t.month, 1);
  EXPECT_LE(t.month, 12);
  EXPECT_GT(NowUnixSeconds(), 1577836800);
}

TEST(Win32System, FilesOnNativePaths) {
  std::string dir = TempDir();
  ASSERT_TRUE(CreateDir(dir + "\\")) << LastFileError();
  EXPECT_FALSE(CreateDir(dir));
  EXPECT_EQ(LastFileError(), 183u);  // already exists
  EXPECT_TRUE(DirectoryExists(dir));
  std::string a = dir + "\\B0000000001.MSG";
  {
    TFile f;
    ASSERT_TRUE(f.Open(a, TFile::Mode::CreateExclusive));
    EXPECT_TRUE(f.Write("one\r\n"));
    EXPECT_TRUE(f.Sync());
  }
  TFile again;
  EXPECT_FALSE(again.Open(a, TFile::Mode::CreateExclusive));
  EXPECT_EQ(LastFileError(), 80u);
  {
    TFile f;
    ASSERT_TRUE(f.Open(a, TFile::Mode::Append));
    EXPECT_TRUE(f.Write("two\r\n"));
  }
  std::string contents;
  ASSERT_TRUE(ReadWholeFile(a, contents));
  EXPECT_EQ(contents, "one\r\ntwo\r\n");
  std::string b = dir + "\\B0000000001.RCP";
  {
    TFile f;
    ASSERT_TRUE(f.Open(b, TFile::Mode::CreateTruncate));
    EXPECT_TRUE(f.Write("old"));
  }
  ASSERT_TRUE(RenameFile(a, b));  // over an existing file
  ASSERT_TRUE(ReadWholeFile(b, contents));
  EXPECT_EQ(contents, "one\r\ntwo\r\n");
  EXPECT_FALSE(FileExists(a));
  EXPECT_EQ(LastFileError(), 2u);
  EXPECT_FALSE(ReadWholeFile(dir + "\\none\\x", contents));
  EXPECT_EQ(LastFileError(), 3u);
  EXPECT_TRUE(SyncDirectory(dir));
  std::string cwd = GetCurrentDir();
  ASSERT_TRUE(SetCurrentDir(dir));
  EXPECT_TRUE(FileExists("B0000000001.RCP"));
  ASSERT_TRUE(SetCurrentDir(cwd));
  EXPECT_TRUE(DeleteFilePath(b));
  EXPECT_TRUE(::RemoveDirectoryA(dir.c_str()));
}

TEST(Win32System, SmallFileReadsTakeDiskFilesOnly) {
  std::string dir = TempDir() + "-small";
  ASSERT_TRUE(CreateDir(dir)) << LastFileError();
  std::string a = dir + "\\cert.pem";
  {
    TFile f;
    ASSERT_TRUE(f.Open(a, TFile::Mode::CreateTruncate));
    EXPECT_TRUE(f.Write("0123456789"));
  }
  std::string text;
  EXPECT_TRUE(ReadSmallFile(a, 10, text));
  EXPECT_EQ(text, "0123456789");
  EXPECT_FALSE(ReadSmallFile(a, 9, text));
  EXPECT_EQ(LastFileError(), kErrorFileTooLarge);
  EXPECT_EQ(text, "");
  EXPECT_FALSE(ReadSmallFile(dir, 100, text));
  EXPECT_FALSE(ReadSmallFile(dir + "\\none", 100, text));
  EXPECT_EQ(LastFileError(), 2u);
  // A pipe under the name is refused at once, with or without an instance free.
  const std::string pipe = "\\\\.\\pipe\\kestran-small-" + std::to_string(::GetCurrentProcessId());
  HANDLE server = ::CreateNamedPipeA(pipe.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 4096,
                                     4096, 0, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(ReadSmallFile(pipe, 100, text));
  EXPECT_EQ(LastFileError(), kErrorNotPlainFile);
  EXPECT_FALSE(ReadSmallFile(pipe, 100, text));
  EXPECT_NE(LastFileError(), 0u);
  ::CloseHandle(server);
  EXPECT_TRUE(DeleteFilePath(a));
  EXPECT_TRUE(::RemoveDirectoryA(dir.c_str()));
}

class Counter : public TThread {
 public:
  std::atomic<int> rounds{0};
  ~Counter() override { EndAndWait(); }

 protected:
  void Execute() override {
    while (!StopRequested()) {
      PassGate();
      ++rounds;
      ::Sleep(1);
    }
  }
};

TEST(Win32System, ThreadsStartHoldAndEnd) {
  Counter c;
  EXPECT_EQ(c.WaitFor(0), kWaitObject0);  // never started
  c.Resume();
  while (c.rounds.load() < 3) ::Sleep(1);
  EXPECT_NE(c.ThreadId(), TThread::CurrentThreadId());
  EXPECT_EQ(c.WaitFor(50), kWaitTimeout);
  c.Suspend();
  c.EndAndWait();  // releases the held thread and waits for it
  EXPECT_TRUE(c.Finished());
  EXPECT_EQ(c.WaitFor(0), kWaitObject0);
}

TEST(Win32System, GroupQueriesNeverEndTheProcess) {
  std::vector<std::string> names;
  // Wine has no global groups: the query answers "not found" instead of aborting.
  if (win32::RunningUnderWine()) {
    EXPECT_EQ(GlobalGroupUsers("LMSUsers", names), kNerrGroupNotFound);
  }
  EXPECT_EQ(GlobalGroupUsers("", names), kNerrGroupNotFound);
  EXPECT_EQ(LocalGroupMembers("", names), kErrorNoSuchAlias);
  // Wine answers every local group with its own stub list; Windows knows the group is missing.
  uint32_t rc = LocalGroupMembers("NoSuchGroupKestran", names);
  if (!win32::RunningUnderWine()) {
    EXPECT_NE(rc, kNerrSuccess);
  }
}

TEST(Win32System, EventSourceTakesEntries) {
  TEventSource source("KESTRAN-Test");
  ASSERT_TRUE(source.IsOpen());
  EXPECT_TRUE(source.Report(kEventWarning, 0x80000102, "watchdog text"));
  EXPECT_TRUE(source.Report(kEventError, 0xC0000100, "error text"));
}

// kestran.exe carries the message table of its event source: every identifier formats as
// its one insertion string and a line break.
TEST(Win32System, ProgramCarriesMessageTable) {
  std::string exe = ProgramPath();
  for (int up = 0; up < 3; ++up) exe = exe.substr(0, exe.find_last_of('\\'));
  exe += "\\kestran.exe";
  HMODULE m = ::LoadLibraryExA(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(m, nullptr) << exe;
  HRSRC r = ::FindResourceExA(m, MAKEINTRESOURCEA(11), MAKEINTRESOURCEA(1), 1033);
  EXPECT_NE(r, nullptr);
  for (DWORD id : {0x00000104u, 0x40000101u, 0x80000102u, 0xC0000100u, 0xC0000103u}) {
    char insert[] = "insert";
    DWORD_PTR args[1] = {reinterpret_cast<DWORD_PTR>(insert)};
    char buf[64] = {};
    DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, m, id,
                               1033, buf, sizeof buf, reinterpret_cast<va_list*>(args));
    EXPECT_EQ(std::string(buf, n), "insert\r\n") << std::hex << id;
  }
  ::FreeLibrary(m);
}

TEST(Win32System, ServiceManagerInstallsQueriesAndRemoves) {
  const std::string name = "KestranTest" + std::to_string(::GetCurrentProcessId());
  auto manager = TServiceManager::Open(kScManagerAllAccess);
  ASSERT_NE(manager, nullptr) << GetLastError();
  TServiceConfig config;
  config.Name = name;
  config.DisplayName = "KESTRAN test service";
  config.StartType = kServiceDemandStart;
  config.BinaryPath = "C:\\nowhere\\kestran-test.exe";
  auto service = manager->CreateService(config);
  ASSERT_NE(service, nullptr) << GetLastError();
  EXPECT_EQ(manager->CreateService(config), nullptr);
  EXPECT_EQ(GetLastError(), kErrorServiceExists);

  auto opened = manager->OpenService(name, kServiceAllAccess);
  ASSERT_NE(opened, nullptr);
  TServiceStatus status;
  ASSERT_TRUE(opened->QueryStatus(status));
  EXPECT_EQ(status.CurrentState, kServiceStopped);
  EXPECT_FALSE(opened->Control(kServiceControlStop, status));
  EXPECT_EQ(GetLastError(), kErrorServiceNotActive);
  EXPECT_TRUE(opened->Delete());
  EXPECT_EQ(manager->OpenService(name, kServiceAllAccess), nullptr);
  EXPECT_EQ(GetLastError(), kErrorServiceDoesNotExist);

  // Outside a dispatcher there is nothing to register a handler with.
  EXPECT_EQ(RegisterServiceCtrlHandler(name, [](uint32_t) {}), 0u);
  EXPECT_EQ(GetLastError(), kErrorFailedServiceControllerConnect);
}

}  // namespace
}  // namespace kestran
