// The live values path end to end on loopback: 100 WebSocket clients of the
// host's listener (plain HTTP, one account), each watching the same 100
// fields; a write through the library; the time from the write returning to
// the change's message reaching every client (goal: p99 <= 5 ms), and the
// process's CPU per delivered change (host and clients together: an upper
// bound of the host's part).
//
//   live_socket_bench [writes]   (default 300)
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <fmt/format.h>

#include "contracts/json.h"
#include "data/data_access.h"
#include "engine/control.h"
#include "host/http_server.h"
#include "host/live/live_hub.h"
#include "host/live_socket.h"
#include "host/worker_pool.h"

namespace {

namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using vantrel::contracts::Json;

constexpr int kClients = 100;
constexpr int kTags = 100;

std::string TagName(int i) { return fmt::format("TI{:03}", i); }

void InstallPlant() {
  using dorvik::FieldSpec;
  dorvik::DatabaseBuilder builder;
  builder.SystemAccount("VNT\\vntsystem")
      .Definition("VN_AnalogDef", {FieldSpec::Real("VALUE").WithQuality()}, {.kinds = {-3}})
      .Grant("*", "VN_AnalogDef", 2);
  for (int i = 0; i < kTags; ++i) builder.Record(TagName(i), "VN_AnalogDef");
  dorvik::Install(builder);
}

double CpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// How many clients saw the value being waited for.
struct Arrivals {
  std::mutex mutex;
  std::condition_variable all;
  double expected = -1;
  int count = 0;
};

void Client(uint16_t port, Arrivals& arrivals, std::atomic<int>& ready, std::atomic<bool>& stop) {
  net::io_context io;
  websocket::stream<beast::tcp_stream> socket(io);
  beast::get_lowest_layer(socket).connect({net::ip::make_address("127.0.0.1"), port});
  socket.set_option(websocket::stream_base::decorator(
      [](websocket::request_type& request) { request.set(beast::http::field::authorization, "Bearer bench"); }));
  socket.handshake("127.0.0.1", "/v1/live");
  Json subscribe{{"subscribe", Json::object()}};
  for (int t = 0; t < kTags; ++t) subscribe["subscribe"][TagName(t)] = Json::array({"VALUE"});
  socket.write(net::buffer(subscribe.dump()));
  int initial = 0;
  beast::flat_buffer buffer;
  while (initial < kTags) {
    socket.read(buffer);
    initial += static_cast<int>(Json::parse(beast::buffers_to_string(buffer.data()))["updates"].size());
    buffer.consume(buffer.size());
  }
  ++ready;
  while (!stop) {
    beast::error_code error;
    socket.read(buffer, error);
    if (error) break;  // the host is gone
    const Json message = Json::parse(beast::buffers_to_string(buffer.data()));
    buffer.consume(buffer.size());
    for (const Json& update : message["updates"]) {
      const double value = update["values"][0]["value"]["double"].get<double>();
      if (value < 0) stop = true;  // the last write: the run is over
      std::lock_guard lock(arrivals.mutex);
      if (value == arrivals.expected && ++arrivals.count == kClients) arrivals.all.notify_all();
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int writes = argc > 1 ? std::max(10, std::atoi(argv[1])) : 300;
  InstallPlant();
  vantrel::host::live::LiveHub hub;
  vantrel::host::WorkerPool pool(2, 256);
  vantrel::host::LiveService live(hub, pool);
  hub.Start();
  vantrel::host::ServerOptions options{"127.0.0.1", 0, std::nullopt, 1, vantrel::host::HostLimits{}};
  options.live = &live;
  vantrel::host::HttpServer server(options, pool, [](const vantrel::host::HttpRequest& request) {
    vantrel::host::HttpResponse response;
    response.status = request.websocket ? 101 : 426;
    response.account = "VNT\\operator";
    return response;
  });
  server.Start();

  Arrivals arrivals;
  std::atomic<int> ready{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&] { Client(server.Port(), arrivals, ready, stop); });
  }
  while (ready.load() < kClients) std::this_thread::sleep_for(10ms);

  vantrel::access::DataAccess data;
  std::vector<double> delays;
  const double cpuBefore = CpuSeconds();
  for (int w = 0; w < writes; ++w) {
    const double value = 1000.0 + w;
    {
      std::lock_guard lock(arrivals.mutex);
      arrivals.expected = value;
      arrivals.count = 0;
    }
    vantrel::contracts::TagValuesByNames values;
    vantrel::contracts::TagValues one;
    one.emplace_back(value, vantrel::contracts::DateTime::MinValue, 0, 0);
    values[TagName(w % kTags)]["VALUE"] = std::move(one);
    data.SetTagValues(values);
    const auto written = Clock::now();
    std::unique_lock lock(arrivals.mutex);
    if (!arrivals.all.wait_for(lock, 5s, [&] { return arrivals.count == kClients; })) {
      std::fprintf(stderr, "a change did not reach every client within 5 s\n");
      std::_Exit(1);
    }
    delays.push_back(std::chrono::duration<double, std::milli>(Clock::now() - written).count());
  }
  const double cpu = CpuSeconds() - cpuBefore;
  std::sort(delays.begin(), delays.end());
  const auto at = [&](double q) {
    return delays[static_cast<std::size_t>(q * static_cast<double>(delays.size() - 1))];
  };
  std::printf("WebSocket, %d clients x %d fields, %d writes: write to every client p50 %.2f ms  p99 %.2f ms  "
              "max %.2f ms  CPU %.1f us per delivered change\n",
              kClients, kTags, writes, at(0.5), at(0.99), delays.back(), cpu * 1e6 / (double(writes) * kClients));
  std::fflush(stdout);
  vantrel::contracts::TagValuesByNames last;
  vantrel::contracts::TagValues one;
  one.emplace_back(-1.0, vantrel::contracts::DateTime::MinValue, 0, 0);
  last[TagName(0)]["VALUE"] = std::move(one);
  data.SetTagValues(last);
  for (auto& client : clients) client.join();
  server.Stop(1s);
  return 0;
}
