// Reverse look-ups through the Windows DNS client, which gives each record's
// TTL.
#include <windows.h>
#include <windns.h>

#include "names/NameResolver.h"

namespace {

class TDnsApiNameResolver final : public TNameResolver {
 public:
  // A look-up thread.
  TNameAnswer Reverse(const TIpAddress& addr) override {
    TNameAnswer answer;
    PDNS_RECORD records = nullptr;
    const DNS_STATUS status =
        DnsQuery_A(ReverseQueryName(addr).c_str(), DNS_TYPE_PTR, DNS_QUERY_STANDARD, nullptr, &records, nullptr);
    if (status == DNS_ERROR_RCODE_NAME_ERROR || status == DNS_INFO_NO_RECORDS) {
      answer.Kind = TNameAnswer::TKind::NoName;
    } else if (status == 0) {
      answer.Kind = TNameAnswer::TKind::NoName;
      for (PDNS_RECORD r = records; r; r = r->pNext) {
        if (r->wType != DNS_TYPE_PTR || r->Flags.S.Section != DnsSectionAnswer || !r->Data.PTR.pNameHost) continue;
        answer.Kind = TNameAnswer::TKind::Named;
        answer.Name = reinterpret_cast<const char*>(r->Data.PTR.pNameHost);
        while (!answer.Name.empty() && answer.Name.back() == '.') answer.Name.pop_back();
        answer.TtlSeconds = r->dwTtl;
        break;
      }
    }
    if (records) DnsRecordListFree(records, DnsFreeRecordList);
    return answer;
  }
};

}  // namespace

std::unique_ptr<TNameResolver> MakeSystemResolver() { return std::make_unique<TDnsApiNameResolver>(); }
