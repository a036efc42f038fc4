#include "bench/server/load_modes.h"

#include <algorithm>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

namespace pbbench {
namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

void Tally::Add(const FetchResult& r) {
  ++attempts;
  if (r.resumed) ++resumed;
  switch (r.outcome) {
    case Outcome::kServed:
      ++served;
      served_micros.push_back(r.micros);
      break;
    case Outcome::kUnavailable: ++unavailable; break;
    case Outcome::kNoAnswer: ++no_answer; break;
    case Outcome::kWrong:
      if (wrong++ == 0) first_wrong = r.reply;
      break;
  }
}

namespace {

double SecondsSince(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

// The longest wait for the silent connections before the burst starts.
constexpr std::chrono::milliseconds kIdleConnectLimit{20000};

uint32_t SourceOf(const SourceRange& range, uint64_t terminal) {
  return SourceAddress(range.first, terminal % std::max<uint64_t>(range.count, 1)).value_or(0x7f000001);
}

}  // namespace

LoadRun RunLoad(const FetchTarget& target, SourceRange sources, uint64_t terminals, uint64_t fetches_each) {
  asio::io_context io(1);
  auto tls = MakeTerminalContext();
  LoadRun run;
  // Each terminal makes its next fetch once the last one ended.
  std::function<void(uint64_t, uint64_t)> next = [&](uint64_t terminal, uint64_t left) {
    if (left == 0) return;
    StartFetch(io, tls, target, SourceOf(sources, terminal), [&, terminal, left](const FetchResult& r) {
      run.tally.Add(r);
      next(terminal, left - 1);
    });
  };
  Clock::time_point start = Clock::now();
  for (uint64_t t = 0; t < terminals; ++t) next(t, fetches_each);
  io.run();
  run.seconds = SecondsSince(start);
  std::sort(run.tally.served_micros.begin(), run.tally.served_micros.end());
  return run;
}

namespace {

// Silent connections: connected, then left alone; each notices the server
// closing it (a read that ends).
class IdleSet {
 public:
  IdleSet(asio::io_context& io, const BurstOptions& o) : io_(io), o_(o), give_up_(io) {}

  // `ready` runs once, when every connection has connected or failed, or
  // after `most` (a server that accepts slowly: the burst starts anyway,
  // with fewer silent connections, which the report shows).
  void Open(std::function<void()> ready, std::chrono::milliseconds most) {
    ready_ = std::move(ready);
    pending_ = o_.idle;
    if (pending_ == 0) return Ready();
    give_up_.expires_after(most);
    give_up_.async_wait([this](boost::system::error_code e) {
      if (!e) Ready();
    });
    sockets_.reserve(o_.idle);
    for (uint64_t i = 0; i < o_.idle; ++i) {
      auto socket = std::make_shared<tcp::socket>(io_);
      sockets_.push_back(socket);
      boost::system::error_code ec;
      socket->open(tcp::v4(), ec);
      if (!ec) {
        int on = 1;
        ::setsockopt(socket->native_handle(), IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
        uint32_t source = SourceAddress(o_.idle_first, i / std::max<uint64_t>(o_.idle_per_address, 1))
                              .value_or(0x7f000001);
        socket->bind(tcp::endpoint(asio::ip::address_v4(source), 0), ec);
      }
      if (ec) {
        Settled();
        continue;
      }
      socket->async_connect(server_, [this, socket](boost::system::error_code e) {
        if (!e) {
          ++connected_;
          ++open_;
          socket->async_read_some(asio::buffer(byte_), [this](boost::system::error_code e, std::size_t) {
            if (e != asio::error::operation_aborted) ++closed_by_server_;
            --open_;
          });
        }
        Settled();
      });
    }
  }

  void Close() {
    give_up_.cancel();
    for (auto& s : sockets_) {
      boost::system::error_code ignored;
      s->close(ignored);
    }
  }

  void SetServer(const tcp::endpoint& e) { server_ = e; }
  uint64_t connected() const { return connected_; }
  uint64_t open() const { return open_; }
  uint64_t closed_by_server() const { return closed_by_server_; }

 private:
  void Settled() {
    if (--pending_ == 0) {
      give_up_.cancel();
      Ready();
    }
  }

  void Ready() {
    if (fired_) return;
    fired_ = true;
    ready_();
  }

  asio::io_context& io_;
  const BurstOptions& o_;
  tcp::endpoint server_;
  std::vector<std::shared_ptr<tcp::socket>> sockets_;
  asio::steady_timer give_up_;
  std::function<void()> ready_;
  bool fired_ = false;
  uint64_t pending_ = 0, connected_ = 0, open_ = 0, closed_by_server_ = 0;
  char byte_[1];
};

}  // namespace

BurstRun RunBurst(const FetchTarget& target, const BurstOptions& o) {
  asio::io_context io(1);
  auto tls = MakeTerminalContext();
  BurstRun run;
  IdleSet idle(io, o);
  idle.SetServer(target.server);
  asio::steady_timer sampler(io);
  Clock::time_point start;
  uint64_t finished = 0;
  bool burst_over = false;

  std::function<void()> sample = [&] {
    if (o.memory_pids.empty() || burst_over) return;
    ProcMemory m = ReadProcMemory(o.memory_pids);
    ++run.samples;
    run.burst_peak_rss_kib = std::max(run.burst_peak_rss_kib, m.rss_kib);
    // The sample with the most silent connections open, the larger one on a tie.
    if (idle.open() > run.idle_open_at_sample ||
        (idle.open() == run.idle_open_at_sample && m.rss_kib > run.idle_memory.rss_kib)) {
      run.idle_open_at_sample = idle.open();
      run.idle_memory = m;
    }
    sampler.expires_after(o.sample_every);
    sampler.async_wait([&](boost::system::error_code e) {
      if (!e) sample();
    });
  };

  auto terminal_done = [&] {
    if (++finished < o.terminals) return;
    burst_over = true;
    sampler.cancel();
    idle.Close();
  };

  // One terminal: a try, then another retry_after later while tries are left.
  std::function<void(uint64_t, unsigned)> attempt = [&](uint64_t terminal, unsigned tries) {
    StartFetch(io, tls, target, SourceOf(o.sources, terminal), [&, terminal, tries](const FetchResult& r) {
      run.tally.Add(r);
      if (r.outcome == Outcome::kServed) {
        ++run.served_terminals;
        run.last_served_s = std::max(run.last_served_s, SecondsSince(start));
        return terminal_done();
      }
      if (r.outcome == Outcome::kWrong) {
        ++run.wrong_terminals;
        return terminal_done();
      }
      if (tries + 1 >= o.max_tries) {
        ++run.unserved_terminals;
        return terminal_done();
      }
      auto wait = std::make_shared<asio::steady_timer>(io, o.retry_after);
      wait->async_wait([&, wait, terminal, tries](boost::system::error_code) { attempt(terminal, tries + 1); });
    });
  };

  std::vector<std::unique_ptr<asio::steady_timer>> arrivals;
  idle.Open([&] {
    run.idle_connected = idle.connected();
    if (!o.memory_pids.empty()) run.idle_before_burst = ReadProcMemory(o.memory_pids);
    start = Clock::now();
    sample();
    arrivals.reserve(o.terminals);
    for (uint64_t t = 0; t < o.terminals; ++t) {
      auto at = start + o.window * t / std::max<uint64_t>(o.terminals, 1);
      arrivals.push_back(std::make_unique<asio::steady_timer>(io, at));
      arrivals.back()->async_wait([&, t](boost::system::error_code) { attempt(t, 0); });
    }
    if (o.terminals == 0) {
      burst_over = true;
      sampler.cancel();
      idle.Close();
    }
  }, kIdleConnectLimit);
  io.run();
  run.idle_closed_by_server = idle.closed_by_server();
  run.hwm_kib_at_end = ReadProcMemory(o.memory_pids).hwm_kib;
  std::sort(run.tally.served_micros.begin(), run.tally.served_micros.end());
  return run;
}

}  // namespace pbbench
