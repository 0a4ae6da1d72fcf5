// Reads the error log of the test's runtime folder back as records.
#pragma once

#include "server/errorlog/ErrorLog.h"
#include "tests/support/TestRuntimeDir.h"

#include <sstream>
#include <string>
#include <vector>

namespace tmstest {

struct LogRecord {
    std::string kind;   // ERROR, MSG, TRACE, ENTRY, OWNER
    std::string chain;  // "<pid>.<n>"
    std::string hr;     // "0x80043015"
    std::string where;  // "file:line" (message records only)
    std::string text;   // the record text
};

inline std::vector<LogRecord> ReadLog() {
    std::vector<LogRecord> out;
    std::istringstream in(ReadFileText(ErrorLogPath()));
    std::string line;
    while (std::getline(in, line)) {
        // "<date> <time> KIND ..." ; fields are space separated up to the text.
        std::istringstream f(line);
        std::string date, time;
        LogRecord r;
        f >> date >> time >> r.kind;
        std::string field;
        if (r.kind == "ENTRY") {
            f >> field;
            r.chain = field.substr(6);
            f >> field;
            r.hr = field.substr(3);
        } else if (r.kind == "ERROR" || r.kind == "MSG" || r.kind == "TRACE") {
            f >> field;  // comp=
            f >> field;
            r.chain = field.substr(6);
            f >> field;
            r.hr = field.substr(3);
            f >> r.where;
            f >> field;  // +Nms
        }
        f.get();  // the one blank before the text
        std::getline(f, r.text);
        out.push_back(r);
    }
    return out;
}

}  // namespace tmstest
