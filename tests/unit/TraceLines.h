// Splits captured standard error into the bodies of its trace lines (the text after the
// "ZAL_MQTT  <date> <time>.000| " prefix); anything else written there is left out.
#pragma once

#include <sstream>
#include <string>
#include <vector>

inline std::vector<std::string> traceBodies(const std::string& captured) {
  std::vector<std::string> bodies;
  std::istringstream in(captured);
  std::string line;
  while (std::getline(in, line)) {
    const auto bar = line.find("| ");
    if (line.rfind("ZAL_MQTT  ", 0) == 0 && bar != std::string::npos) bodies.push_back(line.substr(bar + 2));
  }
  return bodies;
}
