// Problems found while a configuration is read: a per-thread list, empty unless asked for.
#include "ConfigurationProblems.h"

#include <utility>

namespace {
thread_local ConfigurationProblemLog* currentLog = nullptr;
}  // namespace

ConfigurationProblemLog::ConfigurationProblemLog() : outer(currentLog) { currentLog = this; }

ConfigurationProblemLog::~ConfigurationProblemLog() { currentLog = outer; }

void ConfigurationProblemLog::add(std::string path, std::string message) {
  recorded.push_back({std::move(path), std::move(message)});
}

void reportConfigurationProblem(const std::string& path, const std::string& message) {
  if (currentLog != nullptr) currentLog->add(path, message);
}
