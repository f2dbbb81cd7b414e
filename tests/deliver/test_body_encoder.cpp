// The message as a next hop sees it: stuffing kept or taken off, the terminating line,
// and bare CR and LF that must never make another message end.

#include <gtest/gtest.h>

#include "deliver/body_encoder.h"

namespace kestran {
namespace {

// Encodes text (the queue's form) reading at most step bytes at a time.
std::string Encode(const std::string& text, TBodyMode mode, size_t step = 65536) {
  size_t off = 0;
  std::string out;
  bool ok = EncodeBody(
      [&](char* p, size_t n) -> long {
        n = std::min({n, step, text.size() - off});
        std::copy(text.data() + off, text.data() + off + n, p);
        off += n;
        return static_cast<long>(n);
      },
      text.size(), mode,
      [&](const char* p, size_t n) {
        out.append(p, n);
        return true;
      });
  EXPECT_TRUE(ok);
  return out;
}

TEST(BodyEncoder, StuffedLinesGoOutAsDataUnchangedAndUnstuffedToSendmail) {
  const std::string queued = "Subject: x\r\n\r\n..leading dot\r\n...two\r\n.x\r\nplain\r\n.\r\n";
  EXPECT_EQ(Encode(queued, TBodyMode::Data), queued);
  EXPECT_EQ(Encode(queued, TBodyMode::Sendmail), "Subject: x\n\n.leading dot\n..two\nx\nplain\n");
  // Reading byte by byte gives the same stream.
  EXPECT_EQ(Encode(queued, TBodyMode::Data, 1), queued);
  EXPECT_EQ(Encode(queued, TBodyMode::Sendmail, 1), Encode(queued, TBodyMode::Sendmail));
}

TEST(BodyEncoder, BareLineEndsNeverEndTheDataEarly) {
  // A client that sent "\n.\n" or "\r.\r" inside a line: some next hops take bare LF
  // or CR as a line end, and would see "." alone, the end of the data.
  const std::string queued = "A: b\r\n\r\nx\n.\ny\r\nz\r.\rw\r\nlast\n\r\n.\r\n";
  const std::string data = Encode(queued, TBodyMode::Data);
  EXPECT_EQ(data, "A: b\r\n\r\nx\r\n..\r\ny\r\nz\r\n..\r\nw\r\nlast\r\n\r\n.\r\n");
  // The only "." line is the last one, and no bare CR or LF is left.
  EXPECT_EQ(data.find("\r\n.\r\n"), data.size() - 5);
  for (size_t i = 0; i < data.size(); ++i) {
    if (data[i] == '\n') {
      EXPECT_EQ(data[i - 1], '\r') << i;
    }
    if (data[i] == '\r') {
      EXPECT_EQ(data[i + 1], '\n') << i;
    }
  }
  // To sendmail: every line end is LF, and the line after a bare end keeps its dot.
  EXPECT_EQ(Encode(queued, TBodyMode::Sendmail), "A: b\n\nx\n.\ny\nz\n.\nw\nlast\n\n");

  // A stuffed line of the client's that a bare line end cuts after its dot: the dot was
  // stuffing, for both kinds of next hop alike.
  const std::string cut = "A: b\r\n\r\n.\nx\r\n.\ry\r\n..\nz\r\n.\r\n";
  EXPECT_EQ(Encode(cut, TBodyMode::Data), "A: b\r\n\r\n\r\nx\r\n\r\ny\r\n..\r\nz\r\n.\r\n");
  EXPECT_EQ(Encode(cut, TBodyMode::Sendmail), "A: b\n\n\nx\n\ny\n.\nz\n");
}

TEST(BodyEncoder, GarbageDotLineInsideTheFileIsStuffed) {
  // A file whose lines include "." before its end still yields one message.
  const std::string queued = "A: b\r\n\r\none\r\n.\r\nQUIT\r\n.\r\n";
  EXPECT_EQ(Encode(queued, TBodyMode::Data), "A: b\r\n\r\none\r\n..\r\nQUIT\r\n.\r\n");
}

TEST(BodyEncoder, ComposedMessagesAreStuffed) {
  EXPECT_EQ(StuffedMessage("A: b\r\n\r\n.hidden\r\nend\r\n"),
            "A: b\r\n\r\n..hidden\r\nend\r\n.\r\n");
  const std::string q = StuffedMessage("A: b\r\n\r\n.x\r\n");
  EXPECT_EQ(Encode(q, TBodyMode::Sendmail), "A: b\n\n.x\n");
}

TEST(BodyEncoder, ReadFailureAndWriterRefusalStopTheStream) {
  const std::string queued = "A: b\r\n\r\nbody\r\n.\r\n";
  EXPECT_FALSE(EncodeBody([](char*, size_t) -> long { return -1; }, queued.size(), TBodyMode::Data,
                          [](const char*, size_t) { return true; }));
  // A file shorter than announced is a failure, not a short message.
  EXPECT_FALSE(EncodeBody([](char*, size_t) -> long { return 0; }, queued.size(), TBodyMode::Data,
                          [](const char*, size_t) { return true; }));
  size_t off = 0;
  EXPECT_FALSE(EncodeBody(
      [&](char* p, size_t n) -> long {
        n = std::min(n, queued.size() - off);
        std::copy(queued.data() + off, queued.data() + off + n, p);
        off += n;
        return static_cast<long>(n);
      },
      queued.size(), TBodyMode::Data, [](const char*, size_t) { return false; }));
}

}  // namespace
}  // namespace kestran
