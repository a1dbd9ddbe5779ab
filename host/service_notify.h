// Tells the service manager (systemd, Type=notify) the host's state: ready
// once it listens, reloading during a SIGHUP, stopping at SIGTERM. Built on
// libsystemd's sd_notify when the build found it (VANTREL_HAVE_LIBSYSTEMD),
// otherwise does nothing; outside systemd (no NOTIFY_SOCKET) it does nothing
// either. Thread-safe.
#ifndef VANTREL_HOST_SERVICE_NOTIFY_H_
#define VANTREL_HOST_SERVICE_NOTIFY_H_

namespace vantrel::host {

enum class ServiceState { kReady, kReloading, kStopping };

void NotifyServiceManager(ServiceState state);

}  // namespace vantrel::host

#endif  // VANTREL_HOST_SERVICE_NOTIFY_H_
