#include "host/live/live_protocol.h"

#include <fmt/format.h>

#include "contracts/json.h"
#include "platform/exceptions.h"

namespace vantrel::host::live {

using contracts::Json;

LiveRequest ParseLiveRequest(std::string_view text) {
  if (text.size() > kMaxRequestBytes) {
    throw platform::ArgumentException(fmt::format("a message is at most {} bytes", kMaxRequestBytes));
  }
  Json message;
  try {
    message = contracts::ParseJsonText(text);
  } catch (const std::exception& error) {
    throw platform::ArgumentException(fmt::format("the message is not JSON: {}", error.what()));
  }
  if (!message.is_object() || message.size() != 1) {
    throw platform::ArgumentException("a message is an object with one member: subscribe, unsubscribe or watchTask");
  }
  LiveRequest request;
  const std::string name = message.begin().key();
  const Json& body = message.begin().value();
  if (name == "subscribe" || name == "unsubscribe") {
    request.kind = name == "subscribe" ? LiveRequest::Kind::kSubscribe : LiveRequest::Kind::kUnsubscribe;
    try {
      request.tags = contracts::FromJson<contracts::Tags>(body);
    } catch (const contracts::JsonFormatError& error) {
      throw error.WithParent(name);
    }
  } else if (name == "watchTask") {
    if (!body.is_string()) throw platform::ArgumentException("/watchTask: the task record's name, a string");
    request.kind = LiveRequest::Kind::kWatchTask;
    request.task = body.get<std::string>();
  } else {
    throw platform::ArgumentException(
        fmt::format("unknown message {}: subscribe, unsubscribe or watchTask", Json(name).dump()));
  }
  return request;
}

void ApplyLiveRequest(LiveHub& hub, const std::shared_ptr<LiveSubscriber>& subscriber, const LiveRequest& request) {
  switch (request.kind) {
    case LiveRequest::Kind::kSubscribe: hub.Subscribe(subscriber, request.tags); break;
    case LiveRequest::Kind::kUnsubscribe: hub.Unsubscribe(*subscriber, request.tags); break;
    case LiveRequest::Kind::kWatchTask: hub.SubscribeTask(subscriber, request.task); break;
  }
}

std::string EncodeUpdates(const std::vector<LiveUpdate>& updates) {
  Json list = Json::array();
  for (const LiveUpdate& update : updates) {
    switch (update.kind) {
      case LiveUpdate::Kind::kValues:
        list.push_back(Json{{"record", update.record}, {"field", update.field},
                            {"values", contracts::ToJson(update.values)}, {"missed", update.missed}});
        break;
      case LiveUpdate::Kind::kRefused:
        list.push_back(Json{{"record", update.record}, {"field", update.field}, {"refused", update.reason}});
        break;
      case LiveUpdate::Kind::kActivations:
        list.push_back(Json{{"task", update.record}, {"pending", update.pending}, {"missed", update.missed}});
        break;
    }
  }
  return Json{{"updates", std::move(list)}}.dump();
}

std::string EncodeError(std::string_view message) { return Json{{"error", std::string(message)}}.dump(); }

}  // namespace vantrel::host::live
