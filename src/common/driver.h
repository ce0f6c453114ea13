// The Kestrix driver's identity, the same for every part of the tool.
#pragma once

inline constexpr char kServiceName[] = "KTRX";
inline constexpr char kDisplayName[] = "Kestrix driver";
inline constexpr char kImageSuffix[] = "\\DRIVERS\\KTRX.SYS";
inline constexpr char kDevicePath[] = "\\\\.\\KTRX";
inline constexpr char kLoadOrderGroup[] = "Extended Base";
inline constexpr char kServiceKey[] = "System\\CurrentControlSet\\Services\\KTRX";
inline constexpr char kParametersKey[] = "System\\CurrentControlSet\\Services\\KTRX\\Parameters";
inline constexpr char kParametersSubkey[] = "Parameters";
