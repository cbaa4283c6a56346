// The main thread's job queue of the life-cycle machine, and the two ways to hand it an event.
#pragma once

#include "MainThreadJobQueue.h"
#include "ZAL_MQTT_stateMachine.h"

using MainThreadJob = MainThreadJobQueue<ZAL_MQTT_stateMachine>::Job;

// Every external event except the start event reaches the machine through this queue. The
// process entry runs it on the main thread (runForever).
extern MainThreadJobQueue<ZAL_MQTT_stateMachine> mainThreadJobs;

// Hands a job (an event operation of the machine, e.g. &ZAL_MQTT_stateMachine::error) to the
// main thread. Callable from any thread; never waits for a running job.
void postToMainThread(MainThreadJob job);

// Starts a detached thread whose only work is to post job. For state actions, which run on
// the main thread and must not post themselves.
void postFromNewThread(MainThreadJob job);
