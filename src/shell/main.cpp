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

  const uint32_t component = KalpApiStaRepAddComponentA(kServiceName, stateReportCallback, 0);
  static uint32_t providerHandle = 0;
  const uint32_t provider =
      KalpApiProviderCreateA(0, "ZAL_CLOUD_MQTT_OOP.clf", providerLockCallback, &providerHandle);

  setTraceLevel(3);
  writeBanner();
  // A name held by another client: the library registers once it is free; the trace says so.
  if (component == KALPAPI_E_ACCESS_DENIED)
    followRefusedRegistration(
        "Status report", [] { return KalpApiStaRepAddComponentA(kServiceName, stateReportCallback, 0); });
  if (provider == KALPAPI_E_ACCESS_DENIED)
    followRefusedRegistration("Provider", [] {
      return KalpApiProviderCreateA(0, "ZAL_CLOUD_MQTT_OOP.clf", providerLockCallback, &providerHandle);
    });

  ZAL_MQTT_stateMachine machine;
  // The start thread runs the start event and every transition that follows it, then ends.
  // Nobody waits for it: detached, so that its end leaves nothing behind.
  std::thread startThread([&machine] { machine.StartStateMachine(); });
  startThread.detach();

  mainThreadJobs.runForever(machine);
}
