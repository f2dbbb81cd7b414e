#pragma once
// The receiver's settings: one process-wide record with its defaults, filled once by the
// loaders at service start and only read afterwards; and the lock of the message counter.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/sync.h"

namespace kestran {

// An ordered list of strings, duplicates allowed.
using TStringList = std::vector<std::string>;

struct TReceiverSettings {
  // Directories; after loading each non-empty one ends in a backslash.
  std::string MailRootDir = "C:\\winnt\\system32\\larchmont\\mail\\";
  std::string MailQueueDir = "C:\\winnt\\system32\\larchmont\\mail\\prein\\";
  std::string InlogDir = "C:\\winnt\\system32\\larchmont\\mail\\inlog\\";
  std::string Pop3logDir = "C:\\winnt\\system32\\larchmont\\mail\\pop3log\\";

  // Switches.
  bool VerifyDomains = false;
  bool AllowRelay = false;
  bool DoLocalNets = false;
  bool DoLocalUser = false;
  bool UseLMSLists = true;
  bool UseNTUserDatabase = true;
  bool UsePlugin1List = false;
  bool DoExtendedErrors = false;
  bool MailInlogEnabled = false;
  bool DoPopAuth = false;
  bool DoDNSLists = false;

  // Other scalars.
  std::string Plugin1ConfigFile;
  std::string BlackListRejectionNotice = "local black list";
  std::string NTGroupNameNotice = "LMSUsers";
  int32_t DelayMinutes = 30;

  // Listener, resolver and limits (own key).
  uint32_t Port = 25;                  // TCP port of the listener
  std::string BoundIP;                 // "" = every local address; else the one to listen on
  std::string DNSServers;              // "" = system resolver; else "address[:port],..."
  uint32_t DNSTimeout = 5000;          // milliseconds per lookup
  uint32_t ReceiveTimeout = 300;       // seconds a client may stay silent; 0 = no limit
  uint32_t MaxLineLength = 65536;      // bytes of one line, terminator excluded
  uint32_t MaxMessageSize = 52428800;  // bytes of one message body; 0 = no limit
  uint32_t MaxRecipients = 1000;       // recipients of one transaction; 0 = no limit
  uint32_t MaxEnvelopeMemoryMB = 256;  // MiB the recipients of all sessions hold; 0 = no limit
  uint32_t MaxConnections = 10000;     // connections at the same time; 0 = no limit
  uint32_t MaxConnectionsPerIP = 50;   // connections from one address; 0 = no limit
  bool IPv6 = false;                   // also listen for IPv6
  std::string BoundIPv6;               // "" = every local IPv6 address; else the one
  uint32_t IPv6PrefixLength = 64;      // bits of an IPv6 address that make one client
  bool SyncQueueFiles = true;          // flush queue files and directory before 250
  uint32_t MaxQueuedMessages = 0;      // pairs waiting before MAIL gets 452; 0 = no limit
  uint32_t MinFreeSpaceMB = 0;         // free MB the queue's file system keeps; 0 = no check

  // Rates per client, refused recipients and the greeting pause (own key); 0 = off.
  uint32_t ConnectRatePerMinute = 0;  // connections a client key may open a minute
  uint32_t ConnectBurst = 0;          // ... of them at once
  uint32_t MessageRatePerMinute = 0;  // MAIL commands a minute
  uint32_t MessageBurst = 0;
  uint32_t RecipientRatePerMinute = 0;  // RCPT commands a minute, accepted or not
  uint32_t RecipientBurst = 0;
  bool RateLimitLogOnly = false;        // count and log what would be refused, refuse nothing
  uint32_t RateLimitTableSize = 65536;  // client keys held at most
  uint32_t BadRecipientLimit = 0;       // refused recipients before a session is closed
  uint32_t GreetPause = 0;              // milliseconds a client is watched before the 220
  uint32_t GreetPassHours = 24;         // a client that waited is not watched again so long

  // Metrics (own key).
  std::string MetricsFile;        // Prometheus text file rewritten every interval; "" = none
  uint32_t MetricsInterval = 15;  // seconds between rewrites, 5 to 3600

  // Extended SMTP and STARTTLS (own key).
  bool ESMTP = false;              // answer EHLO and offer the extensions
  bool Chunking = true;            // with ESMTP: offer CHUNKING and take BDAT
  bool SMTPUTF8 = false;           // with ESMTP: offer SMTPUTF8 (UTF-8 addresses)
  std::string TLSCertificateFile;  // PEM certificate chain; "" = no STARTTLS
  std::string TLSKeyFile;          // PEM private key; "" = in the certificate file
  // Windows: SHA-1 hash of a certificate in the machine's "My" store; "" = the files
  std::string TLSCertificateThumbprint;
  uint32_t MaxTLSHandshakes = 200;  // STARTTLS handshakes at the same time; 0 = no limit

  // The name of this MX, the hop limit and the recipient check at the next hop (own key).
  std::string HostName;                   // "" = the machine's name as looked up
  uint32_t MaxHops = 50;                  // Received: lines a message may carry; 0 = no limit
  bool VerifyRecipients = false;          // ask DeliverTo about local recipients at RCPT
  uint32_t VerifyTimeout = 10;            // seconds the next hop may take to answer
  uint32_t VerifyPositiveSeconds = 3600;  // how long a 2xx answer is remembered
  uint32_t VerifyNegativeSeconds = 600;   // how long a 5xx answer is remembered
  std::string DeliverTo;                  // the next hop kestran-deliver delivers to

  // Lists.
  TStringList LocalNets;
  TStringList LocalBlackList;
  TStringList WhiteList;
  TStringList ProxyNets;        // trusted load balancers (PROXY header first)
  TStringList RateLimitExempt;  // clients no rate limit or greeting pause applies to
  TStringList LocalUsers;
  TStringList SkipUserVerify;
  TStringList LocalDomains;
  TStringList DNSLists;
  TStringList DNSDenyTexts;        // index for index with DNSLists
  std::vector<bool> DNSListsIPv6;  // index for index: the list is asked about IPv6 clients
};

// The process-wide settings record.
extern TReceiverSettings ReceiverSettings;

// Serialises the message counter between the threads of the process.
extern TCriticalSection MsgIdLock;

}  // namespace kestran
