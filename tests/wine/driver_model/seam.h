// Forced ahead of comm_win32.cpp (-include) in the driver-model test build,
// never in VELTA.exe: the calls the link makes on its port go to a model of
// a serial driver (driver_model.cpp) instead of the system. Events, timers,
// waits and the console stay the system's, so the link's own waiting and
// cancelling run for real against the model's completions.
#pragma once

#include <windows.h>

namespace driver_model {
HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                   DWORD flags, HANDLE templateFile);
BOOL CloseHandle(HANDLE handle);
BOOL GetCommState(HANDLE port, LPDCB dcb);
BOOL SetCommState(HANDLE port, LPDCB dcb);
BOOL SetupComm(HANDLE port, DWORD inQueue, DWORD outQueue);
BOOL GetCommProperties(HANDLE port, LPCOMMPROP properties);
BOOL SetCommMask(HANDLE port, DWORD mask);
BOOL PurgeComm(HANDLE port, DWORD flags);
BOOL SetCommTimeouts(HANDLE port, LPCOMMTIMEOUTS timeouts);
BOOL EscapeCommFunction(HANDLE port, DWORD function);
BOOL ClearCommError(HANDLE port, LPDWORD errors, LPCOMSTAT status);
BOOL WriteFile(HANDLE port, LPCVOID data, DWORD count, LPDWORD written, LPOVERLAPPED record);
BOOL ReadFile(HANDLE port, LPVOID data, DWORD count, LPDWORD got, LPOVERLAPPED record);
BOOL WaitCommEvent(HANDLE port, LPDWORD mask, LPOVERLAPPED record);
BOOL GetOverlappedResult(HANDLE port, LPOVERLAPPED record, LPDWORD count, BOOL wait);
BOOL CancelIoEx(HANDLE port, LPOVERLAPPED record);
}  // namespace driver_model

// The model itself (driver_model.cpp) takes the declarations alone: it calls the system's.
#ifndef DRIVER_MODEL_ITSELF
#define CreateFileA driver_model::CreateFileA
#define CloseHandle driver_model::CloseHandle
#define GetCommState driver_model::GetCommState
#define SetCommState driver_model::SetCommState
#define SetupComm driver_model::SetupComm
#define GetCommProperties driver_model::GetCommProperties
#define SetCommMask driver_model::SetCommMask
#define PurgeComm driver_model::PurgeComm
#define SetCommTimeouts driver_model::SetCommTimeouts
#define EscapeCommFunction driver_model::EscapeCommFunction
#define ClearCommError driver_model::ClearCommError
#define WriteFile driver_model::WriteFile
#define ReadFile driver_model::ReadFile
#define WaitCommEvent driver_model::WaitCommEvent
#define GetOverlappedResult driver_model::GetOverlappedResult
#define CancelIoEx driver_model::CancelIoEx
#endif
