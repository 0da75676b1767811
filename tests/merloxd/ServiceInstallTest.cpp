// merloxd install and uninstall against a service manager that records what it is
// asked: the values handed to each call (failure actions, preshutdown timeout, the
// service's command line), the order, idempotence, and a refusal without rights.
#include "ServiceInstall.h"

#include <sstream>

#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace merloxd {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

class RecordingManager : public ServiceManager {
 public:
  bool administrator = true;
  bool exists = false;
  std::string failAt;  // the call that fails, by name
  std::vector<std::string> calls;
  ServiceDefinition definition;
  FailureActions failureActions;
  uint32_t preshutdown = 0;
  bool onErrorExit = false;
  std::string messageFile, stateDir, description;

  bool IsAdministrator() override { return administrator; }
  bool Exists() override { return exists; }
  std::string CreateOrUpdate(const ServiceDefinition& d) override {
    definition = d;
    return Call("CreateOrUpdate", [this] { exists = true; });
  }
  std::string SetDescription(const std::string& text) override {
    description = text;
    return Call("SetDescription");
  }
  std::string SetFailureActions(const FailureActions& actions) override {
    failureActions = actions;
    return Call("SetFailureActions");
  }
  std::string SetFailureActionsOnErrorExit(bool on) override {
    onErrorExit = on;
    return Call("SetFailureActionsOnErrorExit");
  }
  std::string SetPreshutdownTimeout(uint32_t milliseconds) override {
    preshutdown = milliseconds;
    return Call("SetPreshutdownTimeout");
  }
  std::string AddEventSource(const std::string& file) override {
    messageFile = file;
    return Call("AddEventSource");
  }
  std::string MakeStateDirectory(const std::string& path) override {
    stateDir = path;
    return Call("MakeStateDirectory");
  }
  std::string StopAndDelete() override {
    return Call("StopAndDelete", [this] { exists = false; });
  }
  std::string RemoveEventSource() override { return Call("RemoveEventSource"); }

 private:
  std::string Call(const std::string& name, const std::function<void()>& effect = {}) {
    calls.push_back(name);
    if (name == failAt) return "access denied";
    if (effect) effect();
    return "";
  }
};

const InstallSettings kSettings{"C:\\Program Files\\MERLOX\\bin\\merloxd.exe",
                                "C:\\ProgramData\\MERLOX\\guard.toml",
                                "C:\\ProgramData\\MERLOX\\merloxd\\", ""};

TEST(ServiceInstallTest, InstallHandsTheServiceManagerEveryValue) {
  RecordingManager manager;
  std::ostringstream out;
  ASSERT_EQ(InstallService(kSettings, manager, out), 0) << out.str();
  EXPECT_THAT(manager.calls, ElementsAre("MakeStateDirectory", "CreateOrUpdate", "SetDescription",
                                         "SetFailureActions", "SetFailureActionsOnErrorExit",
                                         "SetPreshutdownTimeout", "AddEventSource"));
  // Quoted as Windows splits a command line: a trailing backslash doubled before the quote.
  EXPECT_EQ(manager.definition.commandLine,
            "\"C:\\Program Files\\MERLOX\\bin\\merloxd.exe\" service --config "
            "\"C:\\ProgramData\\MERLOX\\guard.toml\" --state-dir "
            "\"C:\\ProgramData\\MERLOX\\merloxd\\\\\"");
  EXPECT_TRUE(manager.definition.automaticStart);
  EXPECT_EQ(manager.definition.account, "LocalSystem");
  EXPECT_EQ(manager.failureActions.resetAfterSeconds, 86400u);
  ASSERT_EQ(manager.failureActions.actions.size(), 3u);
  const uint32_t delays[] = {5000, 30000, 60000};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(manager.failureActions.actions[i].kind, RecoveryStep::Kind::kRestart);
    EXPECT_EQ(manager.failureActions.actions[i].delayMilliseconds, delays[i]);
  }
  EXPECT_TRUE(manager.onErrorExit);
  EXPECT_EQ(manager.preshutdown, 30000u);
  EXPECT_EQ(manager.messageFile, kSettings.program);
  EXPECT_EQ(manager.stateDir, kSettings.stateDir);
  EXPECT_THAT(out.str(), HasSubstr("service merloxd created"));

  // Again: the same calls, the service updated rather than made twice.
  manager.calls.clear();
  ASSERT_EQ(InstallService(kSettings, manager, out), 0);
  EXPECT_EQ(manager.calls.size(), 7u);
  EXPECT_THAT(out.str(), HasSubstr("service merloxd updated"));
}

TEST(ServiceInstallTest, ARehearsalNamesItsSimulatorInTheCommandLine) {
  InstallSettings rehearsal = kSettings;
  rehearsal.simulator = "rehearsal";
  EXPECT_THAT(ServiceCommandLine(rehearsal), testing::EndsWith(" --simulate=rehearsal"));
}

TEST(ServiceInstallTest, AFailedStepStopsTheRestAndSaysWhich) {
  RecordingManager manager;
  manager.failAt = "SetFailureActions";
  std::ostringstream out;
  EXPECT_EQ(InstallService(kSettings, manager, out), 1);
  EXPECT_EQ(manager.calls.back(), "SetFailureActions");
  EXPECT_THAT(out.str(), HasSubstr("failure actions: restart after 5 s, 30 s and 60 s"));
  EXPECT_THAT(out.str(), HasSubstr("FAILED: access denied"));
}

TEST(ServiceInstallTest, AServiceManagerWithoutTheErrorExitFlagIsWarnedOf) {
  RecordingManager manager;
  manager.failAt = "SetFailureActionsOnErrorExit";
  std::ostringstream out;
  EXPECT_EQ(InstallService(kSettings, manager, out), 0);
  EXPECT_EQ(manager.calls.back(), "AddEventSource") << "the install went on";
  EXPECT_THAT(out.str(), HasSubstr("WARNING: failure actions also when it stops with an error "
                                   "not set: access denied"));
}

TEST(ServiceInstallTest, WithoutAnAdministratorNothingIsAsked) {
  RecordingManager manager;
  manager.administrator = false;
  std::ostringstream out;
  EXPECT_EQ(InstallService(kSettings, manager, out), 2);
  EXPECT_EQ(UninstallService(manager, out), 2);
  EXPECT_THAT(manager.calls, IsEmpty());
  EXPECT_THAT(out.str(), HasSubstr("install needs an administrator"));
  EXPECT_THAT(out.str(), HasSubstr("uninstall needs an administrator"));
}

TEST(ServiceInstallTest, UninstallRemovesWhatIsThereAndMayRunTwice) {
  RecordingManager manager;
  manager.exists = true;
  std::ostringstream out;
  EXPECT_EQ(UninstallService(manager, out), 0);
  EXPECT_THAT(manager.calls, ElementsAre("StopAndDelete", "RemoveEventSource"));
  manager.calls.clear();
  EXPECT_EQ(UninstallService(manager, out), 0);
  EXPECT_THAT(manager.calls, ElementsAre("RemoveEventSource"));
  EXPECT_THAT(out.str(), HasSubstr("no service merloxd to remove"));
}

}  // namespace
}  // namespace merloxd
