#pragma once
// Display names of the traffic categories and of the IP protocol numbers.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

// The seventeen traffic classes; 0 is the total of a direction.
enum class ServiceCategory : std::uint8_t {
  All = 0,
  Icmp = 1,
  DnsServer = 2,
  DnsClient = 3,
  HttpServer = 4,
  HttpClient = 5,
  FtpServer = 6,
  FtpClient = 7,
  TelnetServer = 8,
  TelnetClient = 9,
  Pop3Server = 10,
  Pop3Client = 11,
  SmtpServer = 12,
  SmtpClient = 13,
  NetBiosServer = 14,
  NetBiosClient = 15,
  Sonota = 16,
};

inline constexpr int ServiceCategoryCount = 17;

// Entry 5 keeps its trailing blank: it is what the tables show.
inline constexpr std::array<std::string_view, ServiceCategoryCount> ServiceCategoryNames = {
    "ALL",           "ICMP",          "DNS Server",     "DNS Client",     "HTTP Server", "HTTP Client ",
    "FTP Server",    "FTP Client",    "Telnet Server",  "Telnet Client",  "POP3 Server", "POP3 Client",
    "SMTP Server",   "SMTP Client",   "NetBios Server", "NetBios Client", "Sonota",
};

inline constexpr int MaxNamedProtocol = 100;

inline constexpr std::array<std::string_view, MaxNamedProtocol + 1> ProtocolNames = {
    "Reserved",   "ICMP",      "IGMP",        "GGP",       "IP",         "ST",         "TCP",       "UCL",
    "EGP",        "IGP",       "BBN-RCC-MON", "NVP-II",    "PUP",        "ARGUS",      "EMCON",     "XNET",
    "CHAOS",      "UDP",       "MUX",         "DCN-MEAS",  "HMP",        "PRM",        "XNS-IDP",   "TRUNK-1",
    "TRUNK-2",    "LEAF-1",    "LEAF-2",      "RDP",       "IRTP",       "ISO-TP4",    "NETBLT",    "MFE-NSP",
    "MERIT-INP",  "SEP",       "3PC",         "IDPR",      "XTP",        "DDP",        "IDPR-CMTP", "TP++",
    "IL",         "SIP",       "SDRP",        "SIP-SR",    "SIP-FRAG",   "IDRP",       "RSVP",      "GRE",
    "MHRP",       "BNA",       "SIPP-ESP",    "SIPP-AH",   "I-NLSP",     "SWIPE",      "NHRP",      "unknown",
    "unknown",    "unknown",   "unknown",     "unknown",   "unknown",    "unknown",    "CFTP",      "unknown",
    "SAT-EXPAK",  "KRYPTOLAN", "RVD",         "IPPC",      "unknown",    "SAT-MON",    "VISA",      "IPCV",
    "CPNX",       "CPHB",      "WSN",         "PVP",       "BR-SAT-MON", "SUN-ND",     "WB-MON",    "WB-EXPAK",
    "ISO-IP",     "VMTP",      "SECURE-VMTP", "VINES",     "TTP",        "NSFNET-IGP", "DGP",       "TCF",
    "IGRP",       "OSPFIGP",   "Sprite-RPC",  "LARP",      "MTP",        "AX.25",      "IPIP",      "MICP",
    "SCC-SP",     "ETHERIP",   "ENCAP",       "unknown",   "GMTP",
};

// The name the packet dump shows for any protocol byte: the table's entry up
// to 100, "unknown(N)" above it, where the table has no entry.
std::string ProtocolNameText(std::uint8_t protocol);
