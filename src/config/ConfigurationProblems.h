// Problems found while a configuration is read, for the configuration check.
//
// The configuration classes trace a problem and skip the child it belongs to (a bad publish or
// subscribe configuration, a bad variable-topic set), or throw at a problem of the root. While a
// ConfigurationProblemLog lives on a thread, each such problem is also recorded there with the
// path of the node it belongs to, so that a caller can list every problem, not only the one that
// stopped the reading. Without a log nothing is recorded and nothing changes.
#pragma once

#include <string>
#include <vector>

struct ConfigurationProblem {
  std::string path;     // the configuration node the problem belongs to
  std::string message;  // the text the service traces for it
};

class ConfigurationProblemLog {
 public:
  ConfigurationProblemLog();
  ~ConfigurationProblemLog();
  ConfigurationProblemLog(const ConfigurationProblemLog&) = delete;
  ConfigurationProblemLog& operator=(const ConfigurationProblemLog&) = delete;

  const std::vector<ConfigurationProblem>& problems() const { return recorded; }
  void add(std::string path, std::string message);

 private:
  ConfigurationProblemLog* outer;
  std::vector<ConfigurationProblem> recorded;
};

// Records a problem in the calling thread's innermost log; does nothing without one.
void reportConfigurationProblem(const std::string& path, const std::string& message);
