// Reads linemon's output back: the reports on standard output and the JSON
// Lines log. Only whole reports (a report ends with a blank line) and whole
// log lines are taken, so output caught mid-write is never half-read.
#pragma once

#include <json/json.h>

#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

struct PrintedRow {
    std::string id, name, header, check, length, reset, raw, rate, len, age, rose;
};

struct PrintedReport {
    int number = 0;
    std::map<std::string, PrintedRow> rows;  // by line name
    std::string unrecognised;                // the unrecognised row, if any
};

inline std::vector<PrintedReport> printed_reports(const std::string& out)
{
    static const std::regex report("== line health: report (\\d+), interval [0-9.]+ s ==\n"
                                   "  id line.*\n((?:.+\n)*)\n");
    std::vector<PrintedReport> reports;
    for (auto it = std::sregex_iterator(out.begin(), out.end(), report); it != std::sregex_iterator(); ++it) {
        PrintedReport r;
        r.number = std::stoi((*it)[1]);
        std::istringstream lines((*it)[2].str());
        for (std::string line; std::getline(lines, line);) {
            std::istringstream f(line);
            PrintedRow row;
            f >> row.id >> row.name;
            if (row.name == "unrecognised") {
                r.unrecognised = line;
                continue;
            }
            if (f >> row.header >> row.check >> row.length >> row.reset >> row.raw >> row.rate >> row.len >> row.age >>
                row.rose)
                r.rows[row.name] = row;
        }
        reports.push_back(r);
    }
    return reports;
}

inline std::vector<Json::Value> log_records(const std::string& path)
{
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<Json::Value> out;
    Json::CharReaderBuilder b;
    std::unique_ptr<Json::CharReader> reader(b.newCharReader());
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        Json::Value v;
        std::string errors;
        if (!reader->parse(text.data() + start, text.data() + end, &v, &errors)) {
            v = Json::Value("unparsable: " + text.substr(start, end - start));
        }
        out.push_back(v);
    }
    return out;
}
