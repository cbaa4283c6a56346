#include "MainThreadPost.h"

#include <thread>

MainThreadJobQueue<ZAL_MQTT_stateMachine> mainThreadJobs;

void postToMainThread(MainThreadJob job) { mainThreadJobs.post(job); }

void postFromNewThread(MainThreadJob job) {
  std::thread([job] { postToMainThread(job); }).detach();
}
