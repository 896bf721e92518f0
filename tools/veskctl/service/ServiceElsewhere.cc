// Where there is no service control manager, every `service` subcommand says where to look instead.
#include "tools/veskctl/service/Service.h"

namespace veskctl {

namespace {

[[noreturn]] void Elsewhere() { throw ServiceError(ServiceElsewhereMessage(), 2); }

}  // namespace

std::string ServiceElsewhereMessage() {
  return "service: the monitor runs as a Windows service on Windows only; here let systemd run "
         "it, with the unit in docs/monitoring.md";
}

void InstallService(const std::vector<std::string>&, const ServiceSetup&, bool) { Elsewhere(); }
void UninstallService(bool) { Elsewhere(); }
void StartVeskService(bool) { Elsewhere(); }
void StopVeskService(bool) { Elsewhere(); }
int ServiceStatus(bool) { Elsewhere(); }
int RunAsService(const std::function<int(const std::function<void()>&)>&) { Elsewhere(); }

}  // namespace veskctl
