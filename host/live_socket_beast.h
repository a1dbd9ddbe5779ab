// The hand-off of an upgraded connection from the listener to a live values
// session. Included only by the host's transport files (http_server.cpp,
// live_socket.cpp): Boost.Beast stays out of every other translation unit.
#ifndef VANTREL_HOST_LIVE_SOCKET_BEAST_H_
#define VANTREL_HOST_LIVE_SOCKET_BEAST_H_

#include <string>

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>

#include "host/live_socket.h"

namespace vantrel::host {

using LiveUpgradeRequest = boost::beast::http::request<boost::beast::http::string_body>;

// Starts a session on stream: accepts the WebSocket upgrade of request and
// serves it as account. The stream has no operation pending.
void AcceptLiveSocket(LiveService& service, boost::beast::tcp_stream&& stream, LiveUpgradeRequest request,
                      const std::string& account);
void AcceptLiveSocket(LiveService& service, boost::beast::ssl_stream<boost::beast::tcp_stream>&& stream,
                      LiveUpgradeRequest request, const std::string& account);

}  // namespace vantrel::host

#endif  // VANTREL_HOST_LIVE_SOCKET_BEAST_H_
