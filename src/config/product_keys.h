// The product's configuration: where each program finds its settings in the
// registry (below HKEY_LOCAL_MACHINE) and the defaults it falls back to.
// Every program and test spells a key or a default through this header only;
// the platform layer never reads the product's configuration.
#pragma once

#include <cstdint>

namespace tovl {

// Server: one value per allowed client address, named by its dotted text.
// Enumerated with the trailing backslash, as the server has always opened it.
inline constexpr const char* kIpAddrKey = "Software\\Dravik\\TOVL\\IpAddr";
inline constexpr const char* kIpAddrListKey = "Software\\Dravik\\TOVL\\IpAddr\\";
// Server on POSIX: the device that value COM<n> names stands for COM<n>.
inline constexpr const char* kDevicesKey = "Software\\Dravik\\TOVL\\Devices";
// Server: the RFC 2217 listeners, one value COM<n> = TCP port.
inline constexpr const char* kRfc2217Key = "Software\\Dravik\\TOVL\\Rfc2217";
// Server: the raw TCP listeners, one value COM<n> = "TCPPORT;SPEED,FRAME[,FLOW]"
// (config/raw_value.h).
inline constexpr const char* kRawKey = "Software\\Dravik\\TOVL\\Raw";
// Server: limits of admission (MaxSessions, MaxSessionsPerAddress,
// MaxStrangers), decimal text; each optional.
inline constexpr const char* kServerKey = "Software\\Dravik\\TOVL\\Server";
// Server: TLS. Values Certificate, Key and ClientCA (paths of PEM files),
// and optionally ClientCRL (the client CA's revocation list);
// subkey Listen holds the TLS listeners: PortLink = TCP port (the port-link
// protocol), COM<n> = TCP port (RFC 2217 for COM<n>) or COM<n> =
// TCPPORT;SPEED,FRAME[,FLOW] (raw TCP for COM<n>).
inline constexpr const char* kTlsKey = "Software\\Dravik\\TOVL\\Tls";
inline constexpr const char* kTlsListenKey = "Software\\Dravik\\TOVL\\Tls\\Listen";
// Client: TLS of virtual port n, values CA<n>, PIN<n> (SHA-256 of the
// server's certificate), CERT<n> and KEY<n>; a port without CA<n> or PIN<n>
// connects in plain TCP.
inline constexpr const char* kTlsClientKey = "Software\\Dravik\\TOVL\\Tls\\Client";
// Client: REMOTEPORT<n> = address[:tcpport];comport.
inline constexpr const char* kConnectionsKey = "Software\\Dravik\\TOVL\\Connections";
// Client: PORT<n> = the five serial time-outs.
inline constexpr const char* kSettingsKey = "Software\\Dravik\\TOVL\\Settings";
// Client on POSIX: VPORT<n> = the path of virtual port n's link.
inline constexpr const char* kVirtualPortsKey = "Software\\Dravik\\TOVL\\VirtualPorts";

// The TCP port a server listens on and a client connects to by default.
inline constexpr uint16_t kServerTcpPort = 4445;

}  // namespace tovl
