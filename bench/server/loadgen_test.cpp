// The load generator's judgement of replies and its small figures, as tables.
#include <gtest/gtest.h>

#include "bench/server/figures.h"
#include "bench/server/reply_check.h"

namespace pbbench {
namespace {

const ExpectedReply kExpected{200, "ZXJyb3I9MTAw"};

struct JudgeRow {
  const char* what;
  std::string bytes;
  bool at_end;
  Verdict verdict;
};

TEST(Judge, Table) {
  const std::string ok_head = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 12\r\n\r\n";
  const JudgeRow rows[] = {
      {"the expected reply", ok_head + "ZXJyb3I9MTAw", false, Verdict::kServed},
      {"the expected reply, then the close", ok_head + "ZXJyb3I9MTAw", true, Verdict::kServed},
      {"header names in any case", "HTTP/1.1 200 OK\r\ncontent-length: 12\r\n\r\nZXJyb3I9MTAw", false,
       Verdict::kServed},
      {"a status line without a reason", "HTTP/1.1 200\r\nContent-Length: 12\r\n\r\nZXJyb3I9MTAw", false,
       Verdict::kServed},
      {"HTTP/1.0", "HTTP/1.0 200 OK\r\nContent-Length: 12\r\n\r\nZXJyb3I9MTAw", false, Verdict::kServed},
      {"no length: whole at the close", "HTTP/1.1 200 OK\r\n\r\nZXJyb3I9MTAw", true, Verdict::kServed},
      {"no length: not before the close", "HTTP/1.1 200 OK\r\n\r\nZXJyb3I9MTAw", false, Verdict::kIncomplete},
      {"half the header", "HTTP/1.1 200 OK\r\nContent-Le", false, Verdict::kIncomplete},
      {"half the header, then the close", "HTTP/1.1 200 OK\r\nContent-Le", true, Verdict::kWrong},
      {"half the body", ok_head + "ZXJyb3", false, Verdict::kIncomplete},
      {"half the body, then the close", ok_head + "ZXJyb3", true, Verdict::kWrong},
      {"an empty 503", "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n", false,
       Verdict::kUnavailable},
      {"a 503 with a page", "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 5\r\n\r\n<html", false,
       Verdict::kWrong},
      {"another body", ok_head + "ZXJyb3I9MjAx", false, Verdict::kWrong},
      {"the body with a newline", "HTTP/1.1 200 OK\r\nContent-Length: 13\r\n\r\nZXJyb3I9MTAw\n", false,
       Verdict::kWrong},
      {"the body under another status", "HTTP/1.1 500 Oops\r\nContent-Length: 12\r\n\r\nZXJyb3I9MTAw", false,
       Verdict::kWrong},
      {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nc\r\nZXJyb3I9MTAw\r\n0\r\n\r\n", true,
       Verdict::kWrong},
      {"two lengths that differ", "HTTP/1.1 200 OK\r\nContent-Length: 12\r\nContent-Length: 13\r\n\r\nZXJyb3I9MTAw",
       false, Verdict::kWrong},
      {"a length that is no number", "HTTP/1.1 200 OK\r\nContent-Length: 1x\r\n\r\nZXJyb3I9MTAw", false,
       Verdict::kWrong},
      {"not HTTP", "SSH-2.0-OpenSSH\r\n\r\n", false, Verdict::kWrong},
      {"a header line without a colon", "HTTP/1.1 200 OK\r\nbroken\r\n\r\nZXJyb3I9MTAw", true, Verdict::kWrong},
      {"larger than any reply", std::string(kMaxReplyBytes + 1, 'a'), false, Verdict::kWrong},
  };
  for (const auto& row : rows) EXPECT_EQ(Judge(row.bytes, row.at_end, kExpected), row.verdict) << row.what;
}

struct SourceRow {
  const char* first;
  uint64_t index;
  const char* address;  // nullptr: outside 127.0.0.0/8
};

TEST(SourceAddress, Table) {
  const SourceRow rows[] = {
      {"127.16.0.1", 0, "127.16.0.1"},
      {"127.16.0.1", 253, "127.16.0.254"},
      {"127.16.0.1", 254, "127.16.1.1"},     // .255 and .0 skipped
      {"127.16.0.1", 508, "127.16.2.1"},
      {"127.16.0.0", 0, "127.16.0.1"},       // a first .0 moves to .1
      {"127.16.0.255", 0, "127.16.1.1"},
      {"127.16.0.250", 4, "127.16.0.254"},
      {"127.16.0.250", 5, "127.16.1.1"},
      {"127.255.255.254", 0, "127.255.255.254"},
      {"127.255.255.254", 1, nullptr},
  };
  for (const auto& row : rows) {
    auto first = ParseLoopback(row.first);
    ASSERT_TRUE(first) << row.first;
    auto got = SourceAddress(*first, row.index);
    if (!row.address) {
      EXPECT_FALSE(got) << row.first << " + " << row.index;
    } else {
      EXPECT_EQ(got, ParseLoopback(row.address)) << row.first << " + " << row.index;
    }
  }
}

TEST(ParseLoopback, Table) {
  const std::pair<const char*, bool> rows[] = {
      {"127.0.0.1", true}, {"127.255.255.255", true}, {"10.0.0.1", false}, {"127.0.0", false},
      {"127.0.0.1.", false}, {"127.0.0.256", false}, {"127.0.0.x", false}, {"", false},
      {"127..0.1", false},
  };
  for (const auto& [text, ok] : rows) EXPECT_EQ(ParseLoopback(text).has_value(), ok) << text;
}

TEST(Percentile, Table) {
  const std::vector<uint32_t> hundred = [] {
    std::vector<uint32_t> v;
    for (uint32_t i = 1; i <= 100; ++i) v.push_back(i);
    return v;
  }();
  const struct {
    std::vector<uint32_t> sorted;
    double p;
    uint32_t value;
  } rows[] = {
      {{}, 50, 0},        {{7}, 50, 7},       {{7}, 99, 7},         {{1, 2}, 50, 1},
      {{1, 2}, 51, 2},    {hundred, 50, 50},  {hundred, 99, 99},    {hundred, 100, 100},
      {{1, 2, 3}, 99, 3},
  };
  for (const auto& row : rows) EXPECT_EQ(Percentile(row.sorted, row.p), row.value) << row.p;
}

TEST(ParseProcStatus, Table) {
  const struct {
    const char* what;
    const char* text;
    std::optional<uint64_t> rss, hwm;
  } rows[] = {
      {"a process", "Name:\tx\nVmPeak:\t  9 kB\nVmHWM:\t   12040 kB\nVmRSS:\t   11000 kB\nThreads:\t4\n", 11000,
       12040},
      {"no trailing newline", "VmRSS:\t5 kB\nVmHWM:\t6 kB", 5, 6},
      {"a kernel thread (no memory lines)", "Name:\tkthreadd\nThreads:\t1\n", std::nullopt, std::nullopt},
      {"an unreadable figure", "VmRSS:\tmany kB\nVmHWM:\t6 kB\n", std::nullopt, std::nullopt},
      {"another unit", "VmRSS:\t5 MB\nVmHWM:\t6 kB\n", std::nullopt, std::nullopt},
      {"empty", "", std::nullopt, std::nullopt},
  };
  for (const auto& row : rows) {
    auto m = ParseProcStatus(row.text);
    EXPECT_EQ(m.has_value(), row.rss.has_value()) << row.what;
    if (m && row.rss) {
      EXPECT_EQ(m->rss_kib, *row.rss) << row.what;
      EXPECT_EQ(m->hwm_kib, *row.hwm) << row.what;
    }
  }
}

}  // namespace
}  // namespace pbbench
