// The chip vendor's D2XX driver, ftd2xx.dll, as talviro_d2xx_windows finds
// it. Windows installs that DLL with the driver of every FTDI chip, so the
// programs load it when they first need it instead of linking an import
// library: they start, and say what is missing, on a machine without it.
//
// The DLL is looked for where Windows keeps system DLLs and beside the
// program, never in the working folder or on PATH, so a stray ftd2xx.dll
// cannot be planted on the programs.
#ifndef TALVIRO_D2XX_WINDOWS_DRIVER_LIBRARY_H
#define TALVIRO_D2XX_WINDOWS_DRIVER_LIBRARY_H

namespace d2xx_windows {

// The driver's file name, and the text written (once per process, on
// standard error, without a newline like the probe link's own texts) when
// it cannot be loaded or lacks a function the programs call.
constexpr const wchar_t* kDriverFile = L"ftd2xx.dll";
constexpr const char* kDriverMissing = "FTDI D2XX driver (ftd2xx.dll) not found";

}  // namespace d2xx_windows

#endif
