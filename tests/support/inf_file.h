// The package's setup information as tests read it: what it makes of a device at installation
// (its setup class, its own Security setting), so that a test installs the bus the way the
// package does instead of restating the package's text.
#pragma once

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

class InfFile {
public:
    // A file of the package directory (package/ in the source tree).
    explicit InfFile(const std::string& name)
    {
        std::ifstream in(std::string(VCB_PACKAGE_DIR) + "/" + name);
        found_ = in.good();
        std::string line, section;
        while (std::getline(in, line)) {
            line = Trim(StripComment(line));
            if (line.empty()) continue;
            if (line.front() == '[' && line.back() == ']') {
                section = Lower(Trim(line.substr(1, line.size() - 2)));
                sections_[section];
                continue;
            }
            sections_[section].push_back(line);
        }
    }

    bool Found() const { return found_; }

    // The [Version] setting `key` ("ClassGuid"), or empty.
    std::string Version(const std::string& key) const
    {
        for (const std::string& line : Lines("version")) {
            size_t equals = line.find('=');
            if (equals != std::string::npos && Lower(Trim(line.substr(0, equals))) == Lower(key)) {
                return Unquote(Trim(line.substr(equals + 1)));
            }
        }
        return {};
    }

    // The install section a models line gives the hardware identifier, or empty.
    std::string InstallSection(const std::string& hardwareId) const
    {
        for (const auto& [name, lines] : sections_) {
            for (const std::string& line : lines) {
                size_t equals = line.find('=');
                if (equals == std::string::npos) continue;
                std::vector<std::string> fields = Split(line.substr(equals + 1));
                for (size_t i = 1; i < fields.size(); i++) {
                    if (Lower(fields[i]) == Lower(hardwareId)) return fields[0];
                }
            }
        }
        return {};
    }

    // The device's own Security setting (SDDL) that the install section's hardware part writes
    // with HKR,,Security, or empty. Setup takes the x64-decorated install section where there is
    // one, as on an x64 machine.
    std::string DeviceSecurity(const std::string& installSection) const
    {
        std::string section = sections_.count(Lower(installSection + ".ntamd64")) ? installSection + ".ntamd64"
                                                                                 : installSection;
        for (const std::string& line : Lines(section + ".hw")) {
            size_t equals = line.find('=');
            if (equals == std::string::npos || Lower(Trim(line.substr(0, equals))) != "addreg") continue;
            for (const std::string& addReg : Split(line.substr(equals + 1))) {
                for (const std::string& entry : Lines(addReg)) {
                    std::vector<std::string> fields = Split(entry);
                    if (fields.size() >= 5 && Lower(fields[0]) == "hkr" && fields[1].empty() &&
                        Lower(fields[2]) == "security") {
                        return fields[4];
                    }
                }
            }
        }
        return {};
    }

    // The DWORD values (FLG_ADDREG_TYPE_DWORD) that the service install sections write under the
    // service's Parameters key with HKR, Parameters: name and value.
    std::map<std::string, unsigned long> ServiceParameters() const
    {
        std::map<std::string, unsigned long> values;
        for (const auto& [name, lines] : sections_) {
            for (const std::string& line : lines) {
                size_t equals = line.find('=');
                if (equals == std::string::npos || Lower(Trim(line.substr(0, equals))) != "addservice") continue;
                std::vector<std::string> service = Split(line.substr(equals + 1));
                if (service.size() < 3) continue;
                for (const std::string& setting : Lines(service[2])) {
                    size_t at = setting.find('=');
                    if (at == std::string::npos || Lower(Trim(setting.substr(0, at))) != "addreg") continue;
                    for (const std::string& addReg : Split(setting.substr(at + 1))) {
                        for (const std::string& entry : Lines(addReg)) {
                            std::vector<std::string> fields = Split(entry);
                            if (fields.size() >= 5 && Lower(fields[0]) == "hkr" && Lower(fields[1]) == "parameters" &&
                                std::stoul(fields[3], nullptr, 0) == 0x00010001) {
                                values[fields[2]] = std::stoul(fields[4], nullptr, 0);
                            }
                        }
                    }
                }
            }
        }
        return values;
    }

private:
    std::vector<std::string> Lines(const std::string& section) const
    {
        auto it = sections_.find(Lower(section));
        return it == sections_.end() ? std::vector<std::string>{} : it->second;
    }

    static std::string Lower(std::string text)
    {
        std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return (char)std::tolower(c); });
        return text;
    }
    static std::string Trim(const std::string& text)
    {
        size_t first = text.find_first_not_of(" \t\r");
        if (first == std::string::npos) return {};
        return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
    }
    static std::string Unquote(const std::string& text)
    {
        return text.size() >= 2 && text.front() == '"' && text.back() == '"' ? text.substr(1, text.size() - 2) : text;
    }
    // A ';' outside quotes starts a comment.
    static std::string StripComment(const std::string& line)
    {
        bool quoted = false;
        for (size_t i = 0; i < line.size(); i++) {
            if (line[i] == '"') quoted = !quoted;
            if (line[i] == ';' && !quoted) return line.substr(0, i);
        }
        return line;
    }
    // Comma-separated fields, trimmed and unquoted; commas inside quotes belong to the field.
    static std::vector<std::string> Split(const std::string& text)
    {
        std::vector<std::string> fields(1);
        bool quoted = false;
        for (char c : text) {
            if (c == '"') quoted = !quoted;
            if (c == ',' && !quoted) {
                fields.emplace_back();
            } else {
                fields.back() += c;
            }
        }
        for (std::string& field : fields) field = Unquote(Trim(field));
        return fields;
    }

    bool found_ = false;
    std::map<std::string, std::vector<std::string>> sections_;
};
