// Windows only: the service manager's calls behind merloxd install and uninstall.
#pragma once

#include <memory>

#include "ServiceInstall.h"

namespace merloxd {

std::unique_ptr<ServiceManager> MakeWindowsServiceManager();

}  // namespace merloxd
