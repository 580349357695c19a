#pragma once
// Every option of the command line, declared once: its name, the kind and
// range of its value, the front ends it is for and its lines in --help. The
// parser and both programs' help texts are made from these rows.
#include <span>
#include <string>
#include <string_view>

inline constexpr int MaxTopAddresses = 1000;
inline constexpr long MaxSeconds = 31'536'000;  // a year

// The front ends an option is for, as bits.
using TFrontEndSet = unsigned;
inline constexpr TFrontEndSet ForWindow = 1, ForReport = 2, ForServe = 4;
inline constexpr TFrontEndSet ForHeadless = ForReport | ForServe, ForEvery = ForWindow | ForHeadless;

enum class TValueKind {
  None,           // takes no value
  Switch,         // "-D", "-S": counted by the second character of an argument
  Text,           // kept as written; when Noun is set, an empty one is refused
  Address,        // an IPv4 or IPv6 address, checked once the front end is known
  ListenAddress,  // [ADDR:]PORT
  HostName,       // letters, digits, dots, hyphens and underscores
  Seconds,        // a whole number of seconds from Low to High
  Count,          // a whole number from Low to High
};

// What an option sets, for the parser's one switch that stores it.
enum class TOptionId {
  Debug, DumpLimit, Start, QuitAfter, Report, Serve, Adapter, Read, Seconds, Json, Every, Top, AllowHost, WebConfig, User,
  NoPrograms, Names, NoNames, Help, Version
};

struct TOptionRow {
  TOptionId Id;
  std::string_view Name;  // without dashes; a switch's is its letter
  TValueKind Kind;
  TFrontEndSet FrontEnds;
  std::string_view Value;  // the value's name in the help, "ADDR"
  std::string_view Help;   // its lines in --help, '\n' between them
  long Low = 0, High = 0;  // Seconds and Count
  std::string_view Noun = {};  // Text: what an empty value lacks, "a file name"
  // What is said when it is given to a front end it is not for, when the
  // usual sentence does not do.
  std::string_view Misplaced = {};
};

// In the order --help lists them.
std::span<const TOptionRow> OptionRows();

// The window toolkit's own options, which it takes out of the command line
// itself ("-style fusion", "-style=fusion" and "--style fusion" alike). They
// are the window's; named so that their values are not taken for ours.
std::span<const std::string_view> ToolkitOptionsWithValue();
std::span<const std::string_view> ToolkitOptionsAlone();

// The usage lines and option list of the program Program, which runs the
// front ends FrontEnds: "wirepeek" all three, "wirepeek-exporter" the report
// and the endpoint.
std::string SynopsisText(std::string_view Program, TFrontEndSet FrontEnds);
std::string HelpText(std::string_view Program, TFrontEndSet FrontEnds);
