// Helpers over the variable-server library: reading one variable by its path, and waiting until
// the variable server answers and the device runs.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Opens path, reads size raw bytes of its value into destination, closes the handle whatever
// the read gave. Returns the open status if the open failed, else the read status (0 on success).
uint32_t readVariableByName(const std::string& path, void* destination, uint16_t size);

// Reads a 4-byte configuration member: its raw 32-bit value into value. The member must be of a
// 4-byte integer type (SINT32, UINT32 or DWORD): another type answers 0x81000002 (invalid
// parameter) without a read, so that neither a STRING's text bytes nor a REAL's bits are taken
// for a number. Returns the status of the first call that failed, or 0; 0x81000501 when absent.
uint32_t readUint32Member(const std::string& path, uint32_t& value);

// Reads an optional 4-byte member (a configuration flag) with readUint32Member into target: an
// absent member (0x81000501) gives 0, any other failure throws std::runtime_error with message.
void readOptionalFlag(const std::string& path, uint32_t& target, const char* message);

// Waits for the variable server: first up to 10 attempts to open a handle on "stronzo", until an
// attempt answers anything but 0x81000003 (no communication), pausing 1 s after each 0x81000003;
// then up to 60 polls of the device state, each after a 1 s pause. Returns the status of the
// first poll that finds state 300 (running), normally 0; 0x81000003 when none does. May take 70 s.
uint32_t waitForVariableServer();

// The pause of waitForVariableServer, called once per 1 s pause. Tests put in a shorter one (or
// one that counts pauses and changes the world in between); an empty function restores the real
// 1 s sleep. Set it before waitForVariableServer runs; it is called on the thread that waits.
using VariableServerPause = std::function<void()>;
void setVariableServerPause(VariableServerPause pause);
