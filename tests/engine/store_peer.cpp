// store_peer: the other process of the multi-process tests. It opens the
// database it is given (its own LMDB handles: it is started with exec, never
// merely forked) and plays one part, reporting on standard output a line at
// a time (flushed), so that the test can follow it:
//
//   store_peer write DATABASE RECORD COUNT      writes VALUE 1..COUNT of RECORD
//   store_peer write-forever DATABASE RECORD    writes VALUE 1, 2, ... and reports
//                                                "wrote N" after each acknowledged write
//   store_peer kill-at DATABASE RECORD POINT N  writes until the N-th pass of sync point
//                                                POINT ends the process (SIGKILL)
//   store_peer wait-task DATABASE TASK          binds to TASK, reports "waiting" once its
//                                                EXTSKWAI sleeps, then "activated ID TAG"
//   store_peer wait-shutdown DATABASE           registers a callback, reports "ready",
//                                                then "shutdown CODE" when it runs
//   store_peer read-only DATABASE RECORD        as user nobody when started as root:
//                                                reports "read-only", "read V", "write CODE"
//   store_peer exit-waiting DATABASE TASK       leaves main while a thread sleeps in
//                                                EXTSKWAI and the shutdown watcher runs
//   store_peer create DATABASE PREFIX COUNT     creates COUNT records PREFIX1.. of VN_AnalogDef
//                                                as a client does (NXTFREE, then CREATERECORD
//                                                with that id), reports "created N refused M"
//   store_peer reserve DATABASE                 reports "reserved ID" from NXTFREE, then
//                                                sleeps until killed
//   store_peer hold-write DATABASE RECORD       begins a write of RECORD that never commits and
//                                                reports "holding PID" once it holds the write lock
//   store_peer read-group DATABASE RECORD GID   as read-only, as user nobody in group GID alone
//   store_peer read-only-stay DATABASE RECORD   as read-only, then keeps the database open
//   store_peer read DATABASE RECORD...          reports "RECORD V" with the VALUE of each record
//   store_peer create-named DATABASE NAME ID    creates record NAME with ID (VN_AnalogDef),
//                                                reports "created CODE"
//   store_peer usable DATABASE NAME 0|1         MAKUNUSA or MAKUSABL, reports "usable CODE"
//   store_peer kill-creating DATABASE POINT NAME ID
//                                                create-named, ended at the first pass of POINT
//
// Exit status 0 when the part was played as expected.
#include <grp.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "api/dorvik.h"
#include "engine/control.h"

namespace {

void Report(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

int32_t Id(const std::string& name) { return NAME2RECID(name.data(), static_cast<int16_t>(name.size())); }

int32_t Tag(const char* name) {
  int32_t tag = 0;
  ERRBLOCK error{};
  DECODFT(name, static_cast<int16_t>(std::strlen(name)), &tag, &error);
  return tag;
}

// Writes value (with quality, at time `value` seconds) into field of record.
int16_t WriteValue(int32_t record, int32_t field, double value) {
  const IDANDFT item{record, field};
  const int16_t type = dorvik::api::kTypeDoubleQuality;
  const DVANDQU sample{value, 0, 0, XUSTS{static_cast<int32_t>(value), 0}, 0};
  int16_t done = 0;
  ERRBLOCK error{};
  MWDBVALS(1, &item, &type, &sample, &done, &error);
  return done == 1 ? int16_t{0} : (error.ERRCODE != 0 ? error.ERRCODE : int16_t{-1});
}

int Write(const std::string& record, long count, bool report) {
  const int32_t id = Id(record), value = Tag("VALUE");
  for (long i = 1; count < 0 || i <= count; ++i) {
    if (const int16_t code = WriteValue(id, value, static_cast<double>(i)); code != 0) {
      Report("failed " + std::to_string(code));
      return 1;
    }
    if (report) Report("wrote " + std::to_string(i));
  }
  return 0;
}

// Binds to task and starts a thread in EXTSKWAI; returns once it is about to
// sleep (false when the task does not bind).
bool StartWaiter(const std::string& task, std::thread& waiter) {
  ::setenv("DORVIK_TASK_NAME", task.c_str(), 1);
  int32_t bound = 0;
  ERRBLOCK error{};
  EXTSKINI(&bound, &error);
  if (error.ERRCODE != 0) return false;
  dorvik::OrderSyncPoints({{"EXTSKWAI:waiting", "peer:report"}});
  waiter = std::thread([] { EXTSKWAI(); });
  dorvik::SyncPoint("peer:report");
  return true;
}

int WaitTask(const std::string& task) {
  std::thread waiter;
  if (!StartWaiter(task, waiter)) return 2;
  Report("waiting");
  waiter.join();
  ERRBLOCK error{};
  int32_t record = 0, fieldTag = 0;
  int16_t priority = 0, code = 0;
  int8_t tail = 0;
  EXTASKCHK(&record, &fieldTag, &priority, &code, &tail, &error);
  if (error.ERRCODE != 0 || record == 0) return 3;
  Report("activated " + std::to_string(record) + " " + std::to_string(fieldTag));
  return 0;
}

std::mutex gShutdownMutex;
std::condition_variable gShutdownSeen;
std::optional<uint32_t> gShutdownCode;  // guarded by gShutdownMutex

void OnShutdown(uint32_t code) {
  std::lock_guard lock(gShutdownMutex);
  gShutdownCode = code;
  gShutdownSeen.notify_all();
}

int WaitShutdown() {
  VantrelRegisterShutdownCallback(0, OnShutdown, 1);
  Report("ready");
  std::unique_lock lock(gShutdownMutex);
  if (!gShutdownSeen.wait_for(lock, std::chrono::seconds(60), [] { return gShutdownCode.has_value(); })) return 4;
  Report("shutdown " + std::to_string(*gShutdownCode));
  return 0;
}

int ExitWaiting(const std::string& task) {
  VantrelRegisterShutdownCallback(0, OnShutdown, 1);  // starts the watcher
  std::thread waiter;
  if (!StartWaiter(task, waiter)) return 2;
  waiter.detach();
  Report("exiting");
  return 0;
}

int ReadOnly(const std::string& record) {
  Report(dorvik::IsReadOnly() ? "read-only" : "writable");
  const IDANDFT item{Id(record), Tag("VALUE")};
  const int16_t type = dorvik::api::kTypeDouble;
  double value = 0;
  int16_t done = 0;
  ERRBLOCK error{};
  MRDBVALS(1, &item, &type, &value, &done, &error);
  Report("read " + std::to_string(done == 1 ? value : -1.0));
  Report("write " + std::to_string(WriteValue(item.ID, item.FT, 99)));
  return 0;
}

// Reports the current VALUE of each record as the engine's text of it.
int ReadValues(char** records, int count) {
  for (int i = 0; i < count; ++i) {
    const std::optional<std::string> value = dorvik::CurrentText(records[i], "VALUE");
    Report(std::string(records[i]) + " " + value.value_or("?"));
  }
  return 0;
}

// Creates count records the way the library does: an id from NXTFREE, then
// CREATERECORD with it.
int Create(const std::string& prefix, long count) {
  const int32_t definition = Id("VN_AnalogDef");
  long created = 0, refused = 0;
  for (long i = 1; i <= count; ++i) {
    int32_t id = 0;
    NXTFREE(1, &id);
    const std::string name = prefix + std::to_string(i);
    ERRBLOCK error{};
    CREATERECORD(id, definition, 0, 0, name.data(), static_cast<int16_t>(name.size()), &error);
    (error.ERRCODE == 0 ? created : refused) += 1;
  }
  Report("created " + std::to_string(created) + " refused " + std::to_string(refused));
  return 0;
}

// Catalog changes for the catalog cache's tests: each reports the error code.
int CreateNamed(const std::string& name, int32_t id) {
  ERRBLOCK error{};
  CREATERECORD(id, Id("VN_AnalogDef"), 0, 0, name.data(), static_cast<int16_t>(name.size()), &error);
  Report("created " + std::to_string(error.ERRCODE));
  return 0;
}

int SetUsable(const std::string& name, bool usable) {
  ERRBLOCK error{};
  (usable ? MAKUSABL : MAKUNUSA)(Id(name), &error);
  Report("usable " + std::to_string(error.ERRCODE));
  return 0;
}

int Reserve() {
  int32_t id = 0;
  NXTFREE(1, &id);
  Report("reserved " + std::to_string(id));
  for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}

// A write that stops before its commit, holding the writer lock for ever.
int HoldWrite(const std::string& record) {
  dorvik::OrderSyncPoints({{"write:locked", "peer:report"}, {"peer:never", "MWDBVALS:committing"}});
  std::thread writer([&] {
    SetTlsData("VNT", "vntsystem");
    WriteValue(Id(record), Tag("VALUE"), 7);
  });
  writer.detach();
  dorvik::SyncPoint("peer:report");
  Report("holding " + std::to_string(::getpid()));
  std::this_thread::sleep_for(std::chrono::seconds(120));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 64;
  const std::string part = argv[1];
  try {
    if ((part == "read-only" || part == "read-only-stay") && ::geteuid() == 0) {
      // Root writes anything: play a user who may only read.
      const gid_t nobodyGroup = 65534;
      if (::setgroups(0, nullptr) != 0 || ::setgid(nobodyGroup) != 0 || ::setuid(65534) != 0) return 5;
    }
    if (part == "read-group" && argc == 5) {
      // Neither the owner nor root: a member of the database's group.
      const gid_t group = static_cast<gid_t>(std::atol(argv[4]));
      if (::setgroups(1, &group) != 0 || ::setgid(group) != 0 || ::setuid(65534) != 0) return 5;
    }
    dorvik::Open(argv[2]);
    SetTlsData("VNT", "vntsystem");
    if (part == "write" && argc == 5) return Write(argv[3], std::atol(argv[4]), false);
    if (part == "write-forever" && argc == 4) return Write(argv[3], -1, true);
    if (part == "kill-at" && argc == 6) {
      dorvik::KillAtSyncPoint(argv[4], std::atoi(argv[5]));
      return Write(argv[3], -1, true);
    }
    if (part == "wait-task" && argc == 4) return WaitTask(argv[3]);
    if (part == "wait-shutdown") return WaitShutdown();
    if (part == "read-only" && argc == 4) return ReadOnly(argv[3]);
    if (part == "exit-waiting" && argc == 4) return ExitWaiting(argv[3]);
    if (part == "create" && argc == 5) return Create(argv[3], std::atol(argv[4]));
    if (part == "reserve") return Reserve();
    if (part == "create-named" && argc == 5) return CreateNamed(argv[3], std::atoi(argv[4]));
    if (part == "usable" && argc == 5) return SetUsable(argv[3], std::string(argv[4]) == "1");
    if (part == "kill-creating" && argc == 6) {
      dorvik::KillAtSyncPoint(argv[3], 1);
      return CreateNamed(argv[4], std::atoi(argv[5]));
    }
    if (part == "hold-write" && argc == 4) return HoldWrite(argv[3]);
    if (part == "read-group" && argc == 5) return ReadOnly(argv[3]);
    if (part == "read") return ReadValues(argv + 3, argc - 3);
    if (part == "read-only-stay" && argc == 4) {
      ReadOnly(argv[3]);
      std::this_thread::sleep_for(std::chrono::seconds(120));
      return 0;
    }
  } catch (const std::exception& error) {
    Report(std::string("error ") + error.what());
    return 6;
  }
  return 64;
}
