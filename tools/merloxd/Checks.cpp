#include "Checks.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "merlox.h"
#include "platform/Probes.h"

namespace merloxd {
namespace {

namespace fs = std::filesystem;

std::string Number(double value, const char* unit) {
  char text[64];
  std::snprintf(text, sizeof(text), "%.2f%s", value, unit);
  return text;
}

std::string Bytes(uint64_t bytes) { return Number(static_cast<double>(bytes) / 1048576.0, " MiB"); }

class FileChanged : public Check {
 public:
  explicit FileChanged(FileCheck settings) : settings_(std::move(settings)) {}
  CheckResult Run() override {
    std::error_code error;
    const auto written = fs::last_write_time(settings_.path, error);
    if (error) return {false, settings_.path + ": " + error.message()};
    const auto age =
        std::chrono::duration_cast<Milliseconds>(fs::file_time_type::clock::now() - written);
    const bool fresh = age <= settings_.maxAge;
    return {fresh, "changed " + DescribeDuration(std::max(age, Milliseconds(0))) + " ago" +
                       (fresh ? "" : ", longer than " + DescribeDuration(settings_.maxAge))};
  }

 private:
  FileCheck settings_;
};

class DiskFree : public Check {
 public:
  explicit DiskFree(DiskCheck settings) : settings_(std::move(settings)) {}
  CheckResult Run() override {
    std::error_code error;
    const fs::space_info space = fs::space(settings_.path, error);
    if (error) return {false, settings_.path + ": " + error.message()};
    const bool enough = space.available >= settings_.minFree;
    return {enough, Bytes(space.available) + " free" +
                        (enough ? "" : ", less than " + Bytes(settings_.minFree))};
  }

 private:
  DiskCheck settings_;
};

class MemoryAvailable : public Check {
 public:
  explicit MemoryAvailable(MemoryCheck settings) : settings_(settings) {}
  CheckResult Run() override {
    const auto available = AvailableMemory();
    if (!available) return {false, "the available memory cannot be read"};
    const bool enough = *available >= settings_.minAvailable;
    return {enough, Bytes(*available) + " available" +
                        (enough ? "" : ", less than " + Bytes(settings_.minAvailable))};
  }

 private:
  MemoryCheck settings_;
};

class TcpOpens : public Check {
 public:
  TcpOpens(TcpCheck settings, Milliseconds timeout)
      : settings_(std::move(settings)), timeout_(timeout) {}
  CheckResult Run() override {
    std::string failure;
    const bool opens = TcpConnects(settings_.host, settings_.port, timeout_, failure);
    const std::string where = settings_.host + ":" + std::to_string(settings_.port);
    return {opens, opens ? where + " accepts connections" : where + ": " + failure};
  }

 private:
  TcpCheck settings_;
  Milliseconds timeout_;
};

class ProcessAlive : public Check {
 public:
  explicit ProcessAlive(ProcessCheck settings) : settings_(std::move(settings)) {}
  CheckResult Run() override {
    if (!settings_.image.empty()) {
      const bool runs = ProcessWithImageRuns(settings_.image);
      return {runs, settings_.image + (runs ? " runs" : " does not run")};
    }
    std::ifstream file(settings_.pidfile);
    uint64_t pid = 0;
    if (!(file >> pid) || pid == 0) return {false, settings_.pidfile + " holds no process id"};
    const bool runs = ProcessRuns(pid);
    return {runs, "process " + std::to_string(pid) + (runs ? " runs" : " does not run")};
  }

 private:
  ProcessCheck settings_;
};

class CommandSucceeds : public Check {
 public:
  CommandSucceeds(CommandCheck settings, Milliseconds timeout)
      : settings_(std::move(settings)), timeout_(timeout) {}
  CheckResult Run() override {
    const CommandOutcome outcome = RunCommand(settings_.command, timeout_);
    if (!outcome.failure.empty()) return {false, outcome.failure};
    if (!outcome.finished)
      return {false, "still running after " + DescribeDuration(timeout_) + ": killed"};
    return {outcome.exitCode == 0, "exit code " + std::to_string(outcome.exitCode)};
  }

 private:
  CommandCheck settings_;
  Milliseconds timeout_;
};

// The card's sensors and inputs, read through the library like any application.
class CardCheck : public Check {
 public:
  CardCheck(CardName card, CardLocator locate) : card_(card), locate_(std::move(locate)) {}
  CheckResult Run() override {
    const int32_t number = locate_(card_);
    if (number < 0) return {false, "the card is not there"};
    return Read(number);
  }

 protected:
  virtual CheckResult Read(int32_t number) = 0;
  static CheckResult Failed(const char* what, uint32_t status) {
    return {false, std::string(what) + ": " + MERLOX_StatusText(status) + " (status " +
                       std::to_string(status) + ")"};
  }

 private:
  CardName card_;
  CardLocator locate_;
};

class SensorInRange : public CardCheck {
 public:
  SensorInRange(SensorCheck settings, CardLocator locate)
      : CardCheck(settings.card, std::move(locate)), settings_(settings) {}

 protected:
  CheckResult Read(int32_t number) override {
    TSensorRecord values;
    const uint32_t status = AI_ReadAll(number, &values);
    if (status != MERLOX_STATUS_SUCCESS) return Failed("reading the sensors", status);
    const bool temperature = settings_.quantity == SensorCheck::Quantity::kTemperature;
    const double value = temperature ? values.Temperature : values.Humidity;
    const char* unit = temperature ? " C" : " %";
    if (settings_.min && value < *settings_.min) {
      return {false, Number(value, unit) + ", below " + Number(*settings_.min, unit)};
    }
    if (settings_.max && value > *settings_.max) {
      return {false, Number(value, unit) + ", above " + Number(*settings_.max, unit)};
    }
    return {true, Number(value, unit)};
  }

 private:
  SensorCheck settings_;
};

class InputState : public CardCheck {
 public:
  InputState(InputCheck settings, CardLocator locate)
      : CardCheck(settings.card, std::move(locate)), settings_(settings) {}

 protected:
  CheckResult Read(int32_t number) override {
    // A peek: the latched changes stay for the application that reads them.
    uint8_t inputs = 0;
    const uint32_t status = DI_PeekAll(number, &inputs);
    if (status != MERLOX_STATUS_SUCCESS) return Failed("reading the inputs", status);
    const unsigned state = (inputs >> settings_.channel) & 1u;
    return {state == settings_.healthy,
            "input " + std::to_string(settings_.channel) + " is " + std::to_string(state)};
  }

 private:
  InputCheck settings_;
};

class HeartbeatFresh : public Check {
 public:
  HeartbeatFresh(std::string name, Heartbeats& heartbeats)
      : name_(std::move(name)), heartbeats_(heartbeats) {}
  CheckResult Run() override {
    const HeartbeatResult result = heartbeats_.Judge(name_, Heartbeats::Clock::now());
    return {result.healthy, result.detail};
  }

 private:
  std::string name_;
  Heartbeats& heartbeats_;
};

}  // namespace

std::unique_ptr<Check> MakeCheck(const CheckSettings& settings, const CardLocator& locate,
                                 Heartbeats* heartbeats) {
  struct Maker {
    const CheckSettings& settings;
    const CardLocator& locate;
    Heartbeats* heartbeats;
    std::unique_ptr<Check> operator()(const HeartbeatCheck&) const {
      if (heartbeats == nullptr) return nullptr;
      return std::make_unique<HeartbeatFresh>(settings.name, *heartbeats);
    }
    std::unique_ptr<Check> operator()(const ProcessCheck& c) const {
      return std::make_unique<ProcessAlive>(c);
    }
    std::unique_ptr<Check> operator()(const FileCheck& c) const {
      return std::make_unique<FileChanged>(c);
    }
    std::unique_ptr<Check> operator()(const CommandCheck& c) const {
      return std::make_unique<CommandSucceeds>(c, settings.timeout);
    }
    std::unique_ptr<Check> operator()(const TcpCheck& c) const {
      return std::make_unique<TcpOpens>(c, settings.timeout);
    }
    std::unique_ptr<Check> operator()(const MemoryCheck& c) const {
      return std::make_unique<MemoryAvailable>(c);
    }
    std::unique_ptr<Check> operator()(const DiskCheck& c) const {
      return std::make_unique<DiskFree>(c);
    }
    std::unique_ptr<Check> operator()(const SensorCheck& c) const {
      return std::make_unique<SensorInRange>(c, locate);
    }
    std::unique_ptr<Check> operator()(const InputCheck& c) const {
      return std::make_unique<InputState>(c, locate);
    }
  };
  return std::visit(Maker{settings, locate, heartbeats}, settings.kind);
}

}  // namespace merloxd
