#include "host/service_notify.h"

#ifdef VANTREL_HAVE_LIBSYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace vantrel::host {

void NotifyServiceManager(ServiceState state) {
#ifdef VANTREL_HAVE_LIBSYSTEMD
  switch (state) {
    case ServiceState::kReady: ::sd_notify(0, "READY=1"); break;
    case ServiceState::kReloading: ::sd_notify(0, "RELOADING=1"); break;
    case ServiceState::kStopping: ::sd_notify(0, "STOPPING=1"); break;
  }
#else
  (void)state;
#endif
}

}  // namespace vantrel::host
