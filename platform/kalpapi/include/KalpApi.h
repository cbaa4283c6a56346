/*
 * KalpApi: the C interface of the controller's variable server, as the service uses it.
 *
 * Every operation returns a 32-bit status, KALPAPI_OK (0) on success. Handles are 32-bit values
 * written through out-pointers; paths are dotted variable paths ("APPL.Plant.Drive.Speed",
 * array elements as "APPL.Plant.Temps[2]").
 *
 * Two implementations exist: libKalpApi.so.2 (platform/kalpapi/client), which talks to
 * kalpapi-server over a unix socket, and kalpapi_inproc (platform/kalpapi/inproc), which serves
 * the same calls from a store inside the calling process, for unit tests.
 */
#ifndef KALPAPI_H
#define KALPAPI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Status codes. */
#define KALPAPI_OK 0x00000000u
#define KALPAPI_E_INVALID_PARAMETER 0x81000002u /* invalid parameter */
#define KALPAPI_E_NO_COMMUNICATION 0x81000003u  /* no communication with the variable server */
#define KALPAPI_E_UNKNOWN 0x81000005u           /* unknown error */
#define KALPAPI_E_NOT_FOUND 0x81000501u         /* variable not found */
#define KALPAPI_E_NO_MORE_ENTRIES 0x81000503u   /* directory walk ended; from OpenDir: empty */
#define KALPAPI_E_ACCESS_DENIED 0x81000504u     /* access not permitted */
/* Answers of the stand-in variable server beyond those above. */
#define KALPAPI_E_NO_ANSWER 0x81000006u        /* a registered component or provider did not answer */
#define KALPAPI_E_TOO_MANY_HANDLES 0x81000507u /* the process holds as many handles as allowed */

/* Results of the state-report callback. */
#define KALPAPI_STAREP_E_OPEN 0x80000003u  /* the report file could not be opened */
#define KALPAPI_STAREP_E_WRITE 0x80000004u /* writing or closing the report file failed */

/* Device state meaning "running". */
#define KALPAPI_DEVICE_STATE_RUNNING 300u

/* Element type codes as KalpApiVarGetType reports them. */
#define KALPAPI_TYPE_BOOL 1u
#define KALPAPI_TYPE_SINT8 2u
#define KALPAPI_TYPE_SINT16 3u
#define KALPAPI_TYPE_SINT32 4u
#define KALPAPI_TYPE_SINT64 5u
#define KALPAPI_TYPE_UINT8 6u
#define KALPAPI_TYPE_UINT16 7u
#define KALPAPI_TYPE_UINT32 8u
#define KALPAPI_TYPE_UINT64 9u
#define KALPAPI_TYPE_REAL 10u
#define KALPAPI_TYPE_LREAL 11u
#define KALPAPI_TYPE_BYTE 12u
#define KALPAPI_TYPE_WORD 13u
#define KALPAPI_TYPE_DWORD 14u
#define KALPAPI_TYPE_LWORD 15u
#define KALPAPI_TYPE_TIME 16u
#define KALPAPI_TYPE_DATE 17u
#define KALPAPI_TYPE_TIME_OF_DAY 18u
#define KALPAPI_TYPE_DATE_AND_TIME 19u
#define KALPAPI_TYPE_STRING 22u
#define KALPAPI_TYPE_ARRAY 24u
#define KALPAPI_TYPE_STRUCT 25u
#define KALPAPI_TYPE_DIRECTORY 990u

/* Capacity of KalpApiDirEntry texts, terminating NUL included. */
#define KALPAPI_MEMBER_NAME_SIZE 256
#define KALPAPI_SEPARATOR_SIZE 8

/* One directory entry. Valid until the next KalpApiVarReadDir or KalpApiVarCloseDir on the
 * same directory handle. */
typedef struct KalpApiDirEntry {
  uint32_t valid;                            /* 0: the entry must be skipped */
  char memberName[KALPAPI_MEMBER_NAME_SIZE]; /* "Speed", or "[3]" for an array element */
  char separator[KALPAPI_SEPARATOR_SIZE];    /* "." for struct/directory members, "" for elements */
} KalpApiDirEntry;

/* Callback of the status reporting: asked to write a state report under directory. */
typedef int32_t (*KalpApiStaRepCallback)(const char* directory);
/* Callback of the provider facility: operation 1 locks, any other value unlocks. */
typedef int32_t (*KalpApiProviderLockCallback)(int operation);

/* Opens a handle on the variable at path. */
uint32_t KalpApiVarOpenHdlA(const char* path, uint32_t* handle);
/* Element type code of an open variable. */
uint32_t KalpApiVarGetType(uint32_t handle, uint32_t* type);
/* Copies up to byteCount raw value bytes (little-endian) of the variable into destination. */
uint32_t KalpApiVarRead(void* destination, uint32_t handle, uint16_t byteCount);
/* Writes byteCount raw bytes into the variable. */
uint32_t KalpApiVarWrite(uint32_t handle, const void* source, uint16_t byteCount);
/* Closes a handle and sets *handle to 0. */
uint32_t KalpApiVarCloseHdl(uint32_t* handle);
/* Reads the variable's value as text (formatted by its type), NUL-terminated, cut to fit. */
uint32_t KalpApiVarTxtRead(const char* path, char* buffer, uint32_t capacity);
/* Writes a text into the variable (parsed by its type). */
uint32_t KalpApiVarTxtWrite(const char* path, const char* text);
/* Opens a directory walk over the members of a struct, array or directory. */
uint32_t KalpApiVarOpenDir(const char* path, uint32_t* directoryHandle);
/* Next entry of a walk; KALPAPI_E_NO_MORE_ENTRIES at the end. */
uint32_t KalpApiVarReadDir(uint32_t* directoryHandle, KalpApiDirEntry** entry);
/* Ends a walk and sets *directoryHandle to 0. */
uint32_t KalpApiVarCloseDir(uint32_t* directoryHandle);
/* Device state (300 = running); word is written with 0; the eight reserved arguments must be 0. */
uint32_t KalpApiDeviceGetStateA(uint32_t* state, uint32_t* word, uint32_t r1, uint32_t r2, uint32_t r3,
                                uint32_t r4, uint32_t r5, uint32_t r6, uint32_t r7, uint32_t r8);
/* Registers a component with the status reporting; flags must be 0. */
uint32_t KalpApiStaRepAddComponentA(const char* component, KalpApiStaRepCallback callback, uint32_t flags);
/* Registers with the provider facility; flags must be 0. */
uint32_t KalpApiProviderCreateA(uint32_t flags, const char* name, KalpApiProviderLockCallback lockCallback,
                                uint32_t* handle);

#ifdef __cplusplus
}
#endif

#endif /* KALPAPI_H */
