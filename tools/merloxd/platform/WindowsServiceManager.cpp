#include "platform/WindowsServiceManager.h"

#include <windows.h>
// after windows.h
#include <aclapi.h>
#include <sddl.h>

#include <vector>

namespace merloxd {
namespace {

constexpr const char* kEventSourceKey =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\merloxd";
// The state directory: SYSTEM and Administrators, and what is made in it inherits that.
constexpr const char* kStateDirectorySddl = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

std::string Failed(const char* what) {
  return std::string(what) + " (error " + std::to_string(GetLastError()) + ")";
}

class Handle {
 public:
  explicit Handle(SC_HANDLE handle) : handle_(handle) {}
  ~Handle() {
    if (handle_ != nullptr) CloseServiceHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  SC_HANDLE get() const { return handle_; }

 private:
  SC_HANDLE handle_;
};

class WindowsServiceManager : public ServiceManager {
 public:
  bool IsAdministrator() override {
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(administrators);
    BOOL member = FALSE;
    return CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size) &&
           CheckTokenMembership(nullptr, administrators, &member) && member;
  }

  bool Exists() override {
    Handle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    Handle service(manager.get() ? OpenServiceA(manager.get(), kServiceName, SERVICE_QUERY_STATUS)
                                 : nullptr);
    return service.get() != nullptr;
  }

  std::string CreateOrUpdate(const ServiceDefinition& definition) override {
    Handle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager.get()) return Failed("the service manager cannot be opened");
    const DWORD start = definition.automaticStart ? SERVICE_AUTO_START : SERVICE_DEMAND_START;
    Handle existing(OpenServiceA(manager.get(), kServiceName, SERVICE_ALL_ACCESS));
    if (existing.get()) {
      return ChangeServiceConfigA(existing.get(), SERVICE_WIN32_OWN_PROCESS, start,
                                  SERVICE_ERROR_NORMAL, definition.commandLine.c_str(), nullptr,
                                  nullptr, nullptr, definition.account.c_str(), nullptr,
                                  kServiceDisplayName)
                 ? ""
                 : Failed("ChangeServiceConfig");
    }
    Handle made(CreateServiceA(manager.get(), kServiceName, kServiceDisplayName, SERVICE_ALL_ACCESS,
                               SERVICE_WIN32_OWN_PROCESS, start, SERVICE_ERROR_NORMAL,
                               definition.commandLine.c_str(), nullptr, nullptr, nullptr, nullptr,
                               nullptr));
    return made.get() ? "" : Failed("CreateService");
  }

  std::string SetDescription(const std::string& description) override {
    SERVICE_DESCRIPTIONA text = {const_cast<char*>(description.c_str())};
    return Configure(SERVICE_CONFIG_DESCRIPTION, &text, "the description");
  }

  std::string SetFailureActions(const FailureActions& actions) override {
    std::vector<SC_ACTION> steps;
    for (const RecoveryStep& action : actions.actions) {
      steps.push_back(
          {action.kind == RecoveryStep::Kind::kRestart ? SC_ACTION_RESTART : SC_ACTION_NONE,
           action.delayMilliseconds});
    }
    SERVICE_FAILURE_ACTIONSA failure = {};
    failure.dwResetPeriod = actions.resetAfterSeconds;
    failure.cActions = static_cast<DWORD>(steps.size());
    failure.lpsaActions = steps.data();
    return Configure(SERVICE_CONFIG_FAILURE_ACTIONS, &failure, "failure actions");
  }

  std::string SetFailureActionsOnErrorExit(bool on) override {
    SERVICE_FAILURE_ACTIONS_FLAG flag = {on ? TRUE : FALSE};
    return Configure(SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag, "the failure actions' flag");
  }

  std::string SetPreshutdownTimeout(uint32_t milliseconds) override {
    SERVICE_PRESHUTDOWN_INFO info = {milliseconds};
    return Configure(SERVICE_CONFIG_PRESHUTDOWN_INFO, &info, "the preshutdown timeout");
  }

  std::string AddEventSource(const std::string& messageFile) override {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
      return Failed("the event source's registry key cannot be made");
    }
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    const bool written =
        RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ,
                       reinterpret_cast<const BYTE*>(messageFile.c_str()),
                       static_cast<DWORD>(messageFile.size() + 1)) == ERROR_SUCCESS &&
        RegSetValueExA(key, "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                       sizeof(types)) == ERROR_SUCCESS;
    RegCloseKey(key);
    return written ? "" : Failed("the event source's values cannot be written");
  }

  std::string MakeStateDirectory(const std::string& path) override {
    for (size_t slash = path.find_first_of("\\/", 3); slash != std::string::npos;
         slash = path.find_first_of("\\/", slash + 1)) {
      CreateDirectoryA(path.substr(0, slash).c_str(), nullptr);  // the folders above, as they come
    }
    if (!CreateDirectoryA(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
      return Failed("it cannot be made");
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(kStateDirectorySddl, SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
      return Failed("its access list cannot be made");
    }
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL acl = nullptr;
    GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted);
    // Protected: nothing inherited from the folder above, where users may write.
    const DWORD error =
        SetNamedSecurityInfoA(const_cast<char*>(path.c_str()), SE_FILE_OBJECT,
                              DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, acl, nullptr);
    LocalFree(descriptor);
    return error == ERROR_SUCCESS
               ? ""
               : "its access list cannot be set (error " + std::to_string(error) + ")";
  }

  std::string StopAndDelete() override {
    Handle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager.get()) return Failed("the service manager cannot be opened");
    Handle service(
        OpenServiceA(manager.get(), kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
    if (!service.get()) return Failed("the service cannot be opened");
    SERVICE_STATUS status = {};
    if (ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
      // A clean stop, which disarms the card as the configuration says.
      for (int waited = 0; waited < 60000 && status.dwCurrentState != SERVICE_STOPPED;
           waited += 250) {
        Sleep(250);
        if (!QueryServiceStatus(service.get(), &status)) break;
      }
    }
    return DeleteService(service.get()) || GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE
               ? ""
               : Failed("DeleteService");
  }

  std::string RemoveEventSource() override {
    const LSTATUS status = RegDeleteKeyA(HKEY_LOCAL_MACHINE, kEventSourceKey);
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND
               ? ""
               : "the event source's key cannot be removed (error " + std::to_string(status) + ")";
  }

 private:
  std::string Configure(DWORD level, void* info, const char* what) {
    Handle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    Handle service(manager.get() ? OpenServiceA(manager.get(), kServiceName, SERVICE_CHANGE_CONFIG)
                                 : nullptr);
    if (!service.get()) return Failed("the service cannot be opened");
    return ChangeServiceConfig2A(service.get(), level, info)
               ? ""
               : Failed((std::string(what) + " cannot be set").c_str());
  }
};

}  // namespace

std::unique_ptr<ServiceManager> MakeWindowsServiceManager() {
  return std::make_unique<WindowsServiceManager>();
}

}  // namespace merloxd
