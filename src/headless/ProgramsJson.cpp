#include "headless/ProgramsJson.h"

#include <nlohmann/json.hpp>

#include "capture/AddrTotals.h"

std::string ProgramsJson(const std::vector<ProgramTotals>& rows) {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const ProgramTotals& row : rows) {
    AddrTotals moment;
    moment.LastTime = row.LastTime;
    moment.LastUnixSeconds = row.LastUnixSeconds;
    nlohmann::ordered_json r = nlohmann::ordered_json::object();
    r["program"] = row.Program;
    r["user"] = row.User;
    r["sent_bytes"] = row.SentBytes;
    r["recv_bytes"] = row.RecvBytes;
    r["last_category"] = ServiceCategoryNames[row.LastCategory];
    r["last_time"] = TAddrTotalsTable::TimeText(moment);
    r["last_date_time"] = TAddrTotalsTable::DateTimeText(moment);
    list.push_back(std::move(r));
  }
  return "\"programs\":" + list.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}
