// The CPU a 5,000-tag by-ids read of doubles costs the host, per tag, next
// to the same read in process, in one run. The host (listener over TLS,
// dispatch, worker pool) and its client run in this process on loopback;
// the host's share is the process's CPU time less the calling thread's,
// which is the client's alone since the call blocks it. Minimum of 7 runs
// of 20 reads each; `host_cpu_bench RUNS READS [TAGS]` changes them (a
// short run under callgrind, or one-tag reads for the fixed cost of a
// call). The goal: the host at most 2x the in-process CPU per tag.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

#include <fmt/format.h>

#include "bench/current_value_plant.h"
#include "client/remote_services.h"
#include "data/data_access.h"
#include "host/authenticator.h"
#include "host/call_runner.h"
#include "host/dispatcher.h"
#include "host/http_server.h"
#include "host/worker_pool.h"
#include "platform/operation_context.h"

namespace {

using namespace vantrel;

int tags = 5'000;
int reads = 20;
int runs = 7;
constexpr double kGoal = 2.0;

double Seconds(clockid_t clock) {
  timespec now{};
  ::clock_gettime(clock, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// One bearer token, "bench", for the account VNT\bench (the plant grants
// everyone reads).
class OneToken : public host::Authenticator {
 public:
  host::AuthResult Authenticate(std::string_view header, std::string_view) override {
    if (header != "Bearer bench") return {host::AuthOutcome::kRefused, std::nullopt, "unknown", 0};
    return {host::AuthOutcome::kAccepted, host::Principal{"bench", "VNT\\bench", false}, "", 0};
  }
  void Reload() override {}
  uint64_t FailedLogins() const override { return 0; }
};

// A self-signed certificate for 127.0.0.1 in a private temporary folder.
class Certificate {
 public:
  Certificate() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vnt-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    folder_ = pattern;
    const std::string command =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj /CN=127.0.0.1 "
        "-addext subjectAltName=IP:127.0.0.1 -keyout " + Key() + " -out " + Cert() + " 2>/dev/null";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("openssl could not make a certificate");
  }
  ~Certificate() { std::filesystem::remove_all(folder_); }
  std::string Cert() const { return (folder_ / "cert.pem").string(); }
  std::string Key() const { return (folder_ / "key.pem").string(); }

 private:
  std::filesystem::path folder_;
};

struct Cost {
  double clientSeconds = 0;  // the calling thread
  double otherSeconds = 0;   // every other thread of the process
};

// Runs read `reads` times; the CPU time of this thread and of the others.
template <typename Read>
Cost Measure(const Read& read) {
  const double process = Seconds(CLOCK_PROCESS_CPUTIME_ID);
  const double thread = Seconds(CLOCK_THREAD_CPUTIME_ID);
  for (int i = 0; i < reads; ++i) read();
  const double threadUsed = Seconds(CLOCK_THREAD_CPUTIME_ID) - thread;
  return {threadUsed, Seconds(CLOCK_PROCESS_CPUTIME_ID) - process - threadUsed};
}

double PerTagNs(double seconds) { return seconds * 1e9 / (reads * tags); }

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3) {
    runs = std::max(1, std::atoi(argv[1]));
    reads = std::max(1, std::atoi(argv[2]));
  }
  if (argc >= 4) tags = std::max(1, std::atoi(argv[3]));
  const bench::Plant& plant = bench::BenchPlant();
  const contracts::TagsById request = bench::RequestByIds(plant, bench::Kind::Double, tags);
  const platform::OperationContextScope caller{
      platform::OperationContext{platform::ServiceSecurityContext{"VNT\\bench"}}};
  access::DataAccess inProcess;

  Certificate certificate;
  OneToken authenticator;
  host::HostLimits limits;
  host::CallRunner runner("VNT\\vnthost");
  host::WorkerPool pool(limits.workers, limits.queueDepth, [&runner] { runner.RestoreHostContext(); });
  host::Dispatcher dispatcher(authenticator, runner, limits);
  host::ServerOptions options{"127.0.0.1", 0, host::TlsFiles{certificate.Cert(), certificate.Key()}, 2, limits};
  host::HttpServer server(options, pool, [&dispatcher](const host::HttpRequest& r) { return dispatcher.Handle(r); });
  server.Start();
  client::RemoteAccessService remote(std::make_shared<client::RemoteSession>(
      client::RemoteOptions{.url = server.Url(), .caFile = certificate.Cert(), .token = "bench"}));
  // The same client declining gzip, as one on the host's machine may: the host's cost without deflate.
  client::RemoteAccessService plainRemote(std::make_shared<client::RemoteSession>(client::RemoteOptions{
      .url = server.Url(), .caFile = certificate.Cert(), .token = "bench", .offerGzip = false}));

  const std::size_t answered = inProcess.GetTagValues(request).size();
  if (remote.GetTagValues(request).size() != answered || plainRemote.GetTagValues(request).size() != answered) {
    std::fprintf(stderr, "host_cpu_bench: the host's answer differs from the in-process one\n");
    return 1;
  }
  double best = 1e9, bestHost = 1e9, bestClient = 1e9, bestPlainHost = 1e9;
  for (int run = 0; run < runs; ++run) {
    best = std::min(best, PerTagNs(Measure([&] { inProcess.GetTagValues(request); }).clientSeconds));
    const Cost remoteCost = Measure([&] { remote.GetTagValues(request); });
    bestHost = std::min(bestHost, PerTagNs(remoteCost.otherSeconds));
    bestClient = std::min(bestClient, PerTagNs(remoteCost.clientSeconds));
    bestPlainHost = std::min(bestPlainHost, PerTagNs(Measure([&] { plainRemote.GetTagValues(request); }).otherSeconds));
  }
  server.Stop(std::chrono::seconds(1));
  const double ratio = bestHost / best;
  fmt::print("by-ids read of {} doubles, CPU per tag, minimum of {} runs of {} reads:\n", tags, runs, reads);
  fmt::print("  in process:          {:8.0f} ns\n", best);
  fmt::print("  the host (over TLS): {:8.0f} ns  ({:.2f}x in process; goal <= {:.0f}x)\n", bestHost, ratio, kGoal);
  fmt::print("  the host, no gzip:   {:8.0f} ns  ({:.2f}x in process)\n", bestPlainHost, bestPlainHost / best);
  fmt::print("  its client:          {:8.0f} ns\n", bestClient);
  return 0;
}
