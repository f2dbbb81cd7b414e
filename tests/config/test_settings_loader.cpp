#include "config/settings_loader.h"

#include <gtest/gtest.h>

#include <string>

#include "config/registry_access.h"
#include "config/temp_root.h"

namespace kestran {
namespace {

using test::TTempRoot;

const char* const kHost = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Larchmont\\LMS]\r\n";
const char* const kSmtprcv =
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\smtprcv\\Parameters]\r\n";
const char* const kOwn = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN]\r\n";

// The set-up's order of the loader steps.
TReceiverSettings Load() {
  TReceiverSettings s;
  LoadHostSettings(s);
  LoadOwnSettings(s);
  NormalizeDirs(s);
  return s;
}

std::string LoadError() {
  TReceiverSettings s;
  try {
    LoadHostSettings(s);
    LoadOwnSettings(s);
  } catch (const ERegistryException& e) {
    return e.Message();
  }
  return "no error";
}

TEST(Settings, WithoutKeysEveryDefaultStays) {
  TTempRoot root;
  TReceiverSettings s = Load();
  EXPECT_EQ(s.MailRootDir, "C:\\winnt\\system32\\larchmont\\mail\\");
  EXPECT_EQ(s.MailQueueDir, "C:\\winnt\\system32\\larchmont\\mail\\prein\\");
  EXPECT_EQ(s.InlogDir, "C:\\winnt\\system32\\larchmont\\mail\\inlog\\");
  EXPECT_EQ(s.Pop3logDir, "C:\\winnt\\system32\\larchmont\\mail\\pop3log\\");
  EXPECT_TRUE(s.UseLMSLists);
  EXPECT_TRUE(s.UseNTUserDatabase);
  EXPECT_FALSE(s.UsePlugin1List || s.VerifyDomains || s.AllowRelay || s.DoLocalNets ||
               s.DoLocalUser || s.DoExtendedErrors || s.MailInlogEnabled || s.DoPopAuth ||
               s.DoDNSLists);
  EXPECT_EQ(s.BlackListRejectionNotice, "local black list");
  EXPECT_EQ(s.NTGroupNameNotice, "LMSUsers");
  EXPECT_EQ(s.Plugin1ConfigFile, "");
  EXPECT_EQ(s.DelayMinutes, 30);
  EXPECT_EQ(s.Port, 25u);
  EXPECT_EQ(s.DNSServers, "");
  EXPECT_EQ(s.DNSTimeout, 5000u);
  EXPECT_EQ(s.ReceiveTimeout, 300u);
  EXPECT_EQ(s.MaxLineLength, 65536u);
  EXPECT_EQ(s.MaxMessageSize, 52428800u);
  EXPECT_EQ(s.MaxRecipients, 1000u);
  EXPECT_EQ(s.MaxEnvelopeMemoryMB, 256u);
  EXPECT_EQ(s.MaxTLSHandshakes, 200u);
  EXPECT_EQ(s.MaxConnections, 10000u);
  EXPECT_EQ(s.MaxConnectionsPerIP, 50u);
  EXPECT_FALSE(s.IPv6);
  EXPECT_EQ(s.BoundIPv6, "");
  EXPECT_EQ(s.IPv6PrefixLength, 64u);
  EXPECT_TRUE(s.SyncQueueFiles);
  EXPECT_TRUE(s.LocalDomains.empty() && s.LocalNets.empty() && s.DNSLists.empty());
  EXPECT_FALSE(std::filesystem::exists(root.RegistryFile()));
}

TEST(Settings, HostKeysDeriveTheDirectories) {
  TTempRoot root;
  // Mail root without a trailing backslash, queue directory as a bare folder name.
  root.WriteRegistry(std::string(kHost) +
                     "\"MailSpoolDir\"=\"D:\\\\lms\"\r\n"
                     "\"DomainNamesAreLocal\"=hex(7):61,2e,74,00,20,62,2e,74,09,00,00\r\n\r\n" +
                     kSmtprcv + "\"MailQueueDir\"=\"queue\"\r\n\"MailInLogEnabled\"=dword:1\r\n");
  TReceiverSettings s = Load();
  EXPECT_EQ(s.MailRootDir, "D:\\lms\\");
  EXPECT_EQ(s.MailQueueDir, "D:\\lms\\queue\\");
  EXPECT_EQ(s.InlogDir, "D:\\lms\\inlog\\");
  EXPECT_EQ(s.Pop3logDir, "C:\\winnt\\system32\\larchmont\\mail\\pop3log\\");
  EXPECT_TRUE(s.MailInlogEnabled);
  // A multi-string of two names (NULs become spaces; blanks trimmed; no empty entry).
  EXPECT_EQ(s.LocalDomains, (TStringList{"a.t", "b.t"}));

  // Without the smtprcv queue value the host's "prein\" applies.
  root.WriteRegistry(std::string(kHost) + "\"MailSpoolDir\"=\"E:\\\\m\\\\\"\r\n");
  s = Load();
  EXPECT_EQ(s.MailQueueDir, "E:\\m\\prein\\");
  EXPECT_EQ(s.InlogDir, "E:\\m\\inlog\\");
}

TEST(Settings, OwnValuesWinOverTheHost) {
  TTempRoot root;
  root.WriteRegistry(std::string(kHost) +
                     "\"MailSpoolDir\"=\"D:\\\\lms\\\\\"\r\n"
                     "\"DomainNamesAreLocal\"=hex:68,6f,73,74,2e,74,00,00\r\n\r\n" +
                     kSmtprcv + "\"MailInLogEnabled\"=dword:00000001\r\n\r\n" + kOwn +
                     "\"MailRootDir\"=\"F:\\\\own\"\r\n"
                     "\"InlogDir\"=\"F:\\\\in\"\r\n"
                     "\"MailInlogEnabled\"=dword:00000000\r\n"
                     "\"UseLMSLists\"=dword:00000000\r\n"
                     "\"DoLocalNets\"=dword:00000002\r\n"
                     "\"DelayMinutes\"=dword:ffffffff\r\n"
                     "\"NTGroupNameNotice\"=hex(2):4d,61,69,6c,00\r\n"
                     "\"Port\"=dword:000009dd\r\n"
                     "\"DNSServers\"=\"127.0.0.1:5353\"\r\n"
                     "\"MaxMessageSize\"=dword:00000000\r\n"
                     "\"SyncQueueFiles\"=dword:00000000\r\n");
  TReceiverSettings s = Load();
  // The own mail root changes neither the queue nor the inbound-log directory.
  EXPECT_EQ(s.MailRootDir, "F:\\own\\");
  EXPECT_EQ(s.MailQueueDir, "D:\\lms\\prein\\");
  EXPECT_EQ(s.InlogDir, "F:\\in\\");
  EXPECT_FALSE(s.MailInlogEnabled);
  EXPECT_FALSE(s.UseLMSLists);
  EXPECT_TRUE(s.DoLocalNets);
  EXPECT_EQ(s.DelayMinutes, -1);
  EXPECT_EQ(s.NTGroupNameNotice, "Mail");
  EXPECT_EQ(s.Port, 2525u);
  EXPECT_EQ(s.DNSServers, "127.0.0.1:5353");
  EXPECT_EQ(s.MaxMessageSize, 0u);
  EXPECT_FALSE(s.SyncQueueFiles);
  EXPECT_EQ(s.LocalDomains, TStringList{"host.t"});  // no own LocalDomains key

  // An own LocalDomains key, even without values, replaces the host's domains.
  root.WriteRegistry(std::string(kHost) + "\"DomainNamesAreLocal\"=hex:61,00,00\r\n\r\n" + kOwn +
                     "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN\\LocalDomains]\r\n");
  EXPECT_TRUE(Load().LocalDomains.empty());
}

TEST(Settings, ConnectionAndRecipientLimits) {
  TTempRoot root;
  root.WriteRegistry(std::string(kOwn) +
                     "\"MaxRecipients\"=dword:00000001\r\n"
                     "\"MaxConnections\"=dword:00000000\r\n"
                     "\"MaxConnectionsPerIP\"=dword:00000003\r\n"
                     "\"MaxEnvelopeMemoryMB\"=dword:00000000\r\n"
                     "\"MaxTLSHandshakes\"=dword:00000000\r\n"
                     "\"IPv6\"=dword:00000001\r\n"
                     "\"BoundIPv6\"=\"2001:db8::25\"\r\n"
                     "\"IPv6PrefixLength\"=dword:00000038\r\n");
  TReceiverSettings s = Load();
  EXPECT_TRUE(s.IPv6);
  EXPECT_EQ(s.BoundIPv6, "2001:db8::25");
  EXPECT_EQ(s.IPv6PrefixLength, 56u);
  EXPECT_EQ(s.MaxEnvelopeMemoryMB, 0u) << "0 stands for no limit";
  EXPECT_EQ(s.MaxTLSHandshakes, 0u) << "0 stands for no limit";
  // A receiver must take at least 100 recipients: a smaller limit is raised to that.
  EXPECT_EQ(s.MaxRecipients, 100u);
  EXPECT_EQ(s.MaxConnections, 0u);
  EXPECT_EQ(s.MaxConnectionsPerIP, 3u);
  root.WriteRegistry(std::string(kOwn) + "\"MaxRecipients\"=dword:00000000\r\n");
  EXPECT_EQ(Load().MaxRecipients, 0u);
  root.WriteRegistry(std::string(kOwn) + "\"MaxRecipients\"=dword:00000065\r\n");
  EXPECT_EQ(Load().MaxRecipients, 101u);
  root.WriteRegistry(std::string(kOwn) + "\"MaxEnvelopeMemoryMB\"=dword:00000400\r\n");
  EXPECT_EQ(Load().MaxEnvelopeMemoryMB, 1024u);
}

TEST(Settings, ValueListsAndBlockLists) {
  TTempRoot root;
  root.WriteRegistry(
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN\\LocalNets]\r\n"
      "\"z\"=\" 10.0.0.0/8 \"\r\n\"a\"=\"   \"\r\n\"m\"=\"192.168.0.0/16\"\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN\\WhiteList]\r\n"
      "\"1\"=\"1.2.3.4/32\"\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN\\DNSLists\\b-second]\r\n"
      "\"Server\"=\" bl.example \"\r\n\"DenyText\"=\"  \"\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN\\DNSLists\\A-first]\r\n"
      "\"DenyText\"=\" listed at zen \"\r\n\"Server\"=\"zen.example\"\r\n\"IPv6\"=dword:0\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN\\DNSLists\\c-blank]\r\n"
      "\"Server\"=\"  \"\r\n\"DenyText\"=\"never\"\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN\\DNSLists\\d-missing]\r\n"
      "\"DenyText\"=\"never\"\r\n");
  TReceiverSettings s;
  s.LocalBlackList = {"stays"};
  s.DNSLists = {"old"};
  s.DNSDenyTexts = {"old"};
  LoadOwnSettings(s);
  // Data in the registry's value order, trimmed, blanks dropped; names carry no meaning.
  EXPECT_EQ(s.LocalNets, (TStringList{"10.0.0.0/8", "192.168.0.0/16"}));
  EXPECT_EQ(s.WhiteList, TStringList{"1.2.3.4/32"});
  EXPECT_EQ(s.LocalBlackList, TStringList{"stays"});  // no key: unchanged
  EXPECT_EQ(s.DNSLists, (TStringList{"zen.example", "bl.example"}));
  EXPECT_EQ(s.DNSDenyTexts, (TStringList{"listed at zen", "bl.example"}));
  EXPECT_EQ(s.DNSListsIPv6, (std::vector<bool>{false, true}));  // asked about IPv6 unless 0
}

TEST(Settings, MalformedValuesStopTheLoadNamingTheValue) {
  TTempRoot root;
  // A switch stored as a string: at most four bytes, or longer.
  root.WriteRegistry(std::string(kOwn) + "\"VerifyDomains\"=\"abc\"\r\n");
  EXPECT_EQ(LoadError(), "Invalid data type for 'VerifyDomains'");
  root.WriteRegistry(std::string(kOwn) + "\"VerifyDomains\"=\"abcd\"\r\n");
  EXPECT_EQ(LoadError(), "Failed to get data for 'VerifyDomains'");
  root.WriteRegistry(std::string(kOwn) + "\"DelayMinutes\"=hex:01,00,00,00\r\n");
  EXPECT_EQ(LoadError(), "Invalid data type for 'DelayMinutes'");
  // A string stored as a number; an empty binary reads as an empty string.
  root.WriteRegistry(std::string(kOwn) +
                     "\"MailQueueDir\"=hex:\r\n\"Pop3logDir\"=dword:00000001\r\n");
  EXPECT_EQ(LoadError(), "Invalid data type for 'Pop3logDir'");
  // Host domains of a string type or too long.
  root.WriteRegistry(std::string(kHost) + "\"DomainNamesAreLocal\"=\"a.t\"\r\n");
  EXPECT_EQ(LoadError(), "Invalid data type for 'DomainNamesAreLocal'");
  root.WriteRegistry(std::string(kHost) + "\"DomainNamesAreLocal\"=dword:00000001\r\n");
  EXPECT_EQ(LoadError(), "Invalid data type for 'DomainNamesAreLocal'");
  std::string big = "\"DomainNamesAreLocal\"=hex(7):";
  for (int i = 0; i < 4097; ++i) big += i ? ",61" : "61";
  root.WriteRegistry(std::string(kHost) + big + "\r\n");
  EXPECT_EQ(LoadError(), "Invalid data type for 'DomainNamesAreLocal'");
  // A list entry of the wrong type.
  root.WriteRegistry(
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackenwold\\KESTRAN\\WhiteList]\r\n\"1\"=dword:1\r\n");
  EXPECT_EQ(LoadError(), "Invalid data type for '1'");

  // Fields read before the bad value keep their new values.
  root.WriteRegistry(std::string(kOwn) +
                     "\"MailQueueDir\"=\"Q:\\\\\"\r\n\"AllowRelay\"=dword:1\r\n" +
                     "\"DoLocalUser\"=\"x\"\r\n\"DoPopAuth\"=dword:1\r\n");
  TReceiverSettings s;
  EXPECT_THROW(LoadOwnSettings(s), ERegistryException);
  EXPECT_EQ(s.MailQueueDir, "Q:\\");
  EXPECT_TRUE(s.AllowRelay);
  EXPECT_FALSE(s.DoPopAuth);
}

TEST(Settings, AddBackslashAndTrim) {
  EXPECT_EQ(AddBackslash(""), "");
  EXPECT_EQ(AddBackslash("C:\\a"), "C:\\a\\");
  EXPECT_EQ(AddBackslash("C:\\a\\"), "C:\\a\\");
  EXPECT_EQ(TrimBlanks("\t\x01 a b \r\n"), "a b");
  EXPECT_EQ(TrimBlanks(" \x1f "), "");
  EXPECT_EQ(TrimBlanks("\xe9t\xe9"), "\xe9t\xe9");  // high bytes are not blanks
}

TEST(Settings, ChunkingAndSmtpUtf8) {
  TTempRoot root;
  root.WriteRegistry(std::string(kOwn));
  TReceiverSettings s = Load();
  EXPECT_TRUE(s.Chunking);
  EXPECT_FALSE(s.SMTPUTF8);
  root.WriteRegistry(std::string(kOwn) +
                     "\"Chunking\"=dword:00000000\r\n\"SMTPUTF8\"=dword:00000001\r\n");
  s = Load();
  EXPECT_FALSE(s.Chunking);
  EXPECT_TRUE(s.SMTPUTF8);
}

}  // namespace
}  // namespace kestran
