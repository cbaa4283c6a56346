// Automatic retry from the error state (configuration member uiErrorRetryS, seconds; 0: off).
//
// Besides the rising edge of xErrorRetry, the error state then starts the service again by
// itself after a wait: N seconds the first time, doubled after each start that ends in the
// error state again, at most 32 N; back to N once a connection has held for a minute.
#pragma once

#include <chrono>
#include <optional>

// Connected entry and exit: a connection that held for a minute resets the wait.
void automaticRetryConnected();
void automaticRetryLeftConnected();

// Error state, once the variable server answers: when the automatic retry is on, traces
// "Automatic retry in N s." and returns when the retry is due; empty when it is off. N comes
// from the configuration object, or from the variable tree when there is none.
std::optional<std::chrono::steady_clock::time_point> automaticRetryBegin();
// True (traced) once the deadline of automaticRetryBegin has passed.
bool automaticRetryDue(const std::optional<std::chrono::steady_clock::time_point>& due);
