// Process entry of the service: registrations, banner, the life-cycle machine, its start
// thread, and the main thread's job loop. Never returns; the process ends in the end state.
#include <iostream>
#include <thread>

#include "ConfigurationCheck.h"

#include "KalpApi.h"
#include "ServiceShell.h"
#include "Trace.h"
#include "ZAL_MQTT_stateMachine.h"

int main(int argc, char** argv) {
  // Arguments are ignored unless one of them is --check: then the configuration is checked and
  // the process ends without running the service.
  switch (parseCheckRequest(argc, argv)) {
    case CheckRequest::kNone:
      break;
    case CheckRequest::kUsageError:
      writeCheckUsage(std::cerr);
      return 2;
    case CheckRequest::kText:
      return runConfigurationCheck(false, std::cout);
    case CheckRequest::kJson:
      return runConfigurationCheck(true, std::cout);
  }

  serviceStartTime = std::time(nullptr);

  KalpApiStaRepAddComponentA(kServiceName, stateReportCallback, 0);
  uint32_t providerHandle = 0;
  KalpApiProviderCreateA(0, "ZAL_CLOUD_MQTT_OOP.clf", providerLockCallback, &providerHandle);

  setTraceLevel(3);
  writeBanner();

  ZAL_MQTT_stateMachine machine;
  // The start thread runs the start event and every transition that follows it, then ends.
  // Nobody waits for it: detached, so that its end leaves nothing behind.
  std::thread startThread([&machine] { machine.StartStateMachine(); });
  startThread.detach();

  mainThreadJobs.runForever(machine);
}
