// The exchange record reader on any text (records are files people send in): it must refuse what it
// cannot read, and what it reads must come back the same through the writer.
#include <cstdint>
#include <string>

#include "sim/exchange_record.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pucData, std::size_t szLen) {
    const std::string strText(reinterpret_cast<const char*>(pucData), szLen);
    sim::ExchangeRecord r;
    std::string strError;
    if (!sim::ParseExchangeRecord(strText, &r, &strError)) {
        return 0;
    }
    sim::ExchangeRecord again;
    if (!sim::ParseExchangeRecord(sim::FormatExchangeRecord(r), &again, &strError) ||
        sim::FormatExchangeRecord(again) != sim::FormatExchangeRecord(r)) {
        __builtin_trap();
    }
    return 0;
}
