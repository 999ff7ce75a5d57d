// jetdb's row exports: json (one JSON object a line) and export, which writes a table as
// CSV (RFC 4180) or as JSON lines.
//
// CSV: a header row of column names, then one record a row, CRLF after each; a field
// holding a comma, a quote, CR or LF is quoted with its quotes doubled. Null is an empty
// field, empty text is "" (quoted); booleans are true/false, dates ISO 8601
// (YYYY-MM-DDTHH:MM:SS), money and numbers in plain decimal, binary and OLE as hex.
#include <cstdio>
#include <memory>
#include <stdexcept>

#include "jet/engine/Database.h"
#include "tools/Commands.h"

namespace kelbrook::tools {
namespace {

// Appends `text` as one CSV field; `always_quote` makes empty text "" rather than nothing.
void Append_Csv_Text(std::string& out, const std::string& text, bool always_quote) {
    if (!always_quote && text.find_first_of(",\"\r\n") == std::string::npos) {
        out += text;
        return;
    }
    out += '"';
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
}

void Append_Csv(std::string& out, const jet::Value& v) {
    using K = jet::Value::Kind;
    static constexpr char digits[] = "0123456789abcdef";
    switch (v.kind) {
        case K::Null: return;
        case K::Boolean: out += v.integer ? "true" : "false"; return;
        case K::Datetime: out += jet::Format_Date(v.real); return;
        case K::Text:
        case K::Memo: Append_Csv_Text(out, v.text, v.text.empty()); return;
        case K::Guid: out += v.text; return;
        case K::Binary:
        case K::Ole:
            for (auto b : v.bytes) {
                out += digits[b >> 4];
                out += digits[b & 15];
            }
            return;
        default: out += jet::Value_To_Json(v);  // numbers: plain decimal text
    }
}

std::string Json_Name(const std::string& s) {
    jet::Value v;
    v.kind = jet::Value::Kind::Text;
    v.text = s;
    return jet::Value_To_Json(v);
}

void Flush_Out() {
    std::fflush(stdout);
    if (std::ferror(stdout)) throw std::runtime_error("cannot write the output");
}

// Every live row of the table as a JSON object on its own line.
void Write_Json_Lines(const Database_Args& a) {
    jet::Database db(a.file, a.password);
    const auto& table = db.Definition(db.Find_Table(a.table));
    std::vector<std::string> names;
    for (const auto& c : table.columns) names.push_back(Json_Name(c.name));
    std::string line;
    db.Rows(table, [&](const jet::Live_Row& row) {
        auto values = db.Decode(table, row);
        line.clear();
        line += '{';
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (i) line += ',';
            line += names[i];
            line += ':';
            jet::Append_Json(line, values[i]);
        }
        line += "}\n";
        Write_Out(line);
    });
    Flush_Out();
}

void Write_Csv(const Database_Args& a) {
    jet::Database db(a.file, a.password);
    const auto& table = db.Definition(db.Find_Table(a.table));
    std::string line;
    for (std::size_t i = 0; i < table.columns.size(); ++i) {
        if (i) line += ',';
        Append_Csv_Text(line, table.columns[i].name, false);
    }
    line += "\r\n";
    Write_Out(line);
    db.Rows(table, [&](const jet::Live_Row& row) {
        auto values = db.Decode(table, row);
        line.clear();
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (i) line += ',';
            Append_Csv(line, values[i]);
        }
        line += "\r\n";
        Write_Out(line);
    });
    Flush_Out();
}

const Command_Registration json_command(
    "json", "[--password PW] FILE TABLE", "the table's rows as JSON, one object a line", [](CLI::App& cmd) {
        auto a = Add_Database_Args(cmd, true);
        return Command_Function([a] {
            Write_Json_Lines(*a);
            return 0;
        });
    });

const Command_Registration export_command(
    "export", "[--format csv|jsonl] [--password PW] FILE TABLE",
    "the table's rows as CSV (RFC 4180, header row, CRLF) or JSON lines (as json)", [](CLI::App& cmd) {
        auto format = std::make_shared<std::string>("csv");
        cmd.add_option("--format", *format, "csv (the default) or jsonl")
            ->check(CLI::IsMember({"csv", "jsonl"}))
            ->option_text("csv|jsonl");
        auto a = Add_Database_Args(cmd, true);
        return Command_Function([a, format] {
            if (*format == "csv") Write_Csv(*a);
            else Write_Json_Lines(*a);
            return 0;
        });
    });

}  // namespace
}  // namespace kelbrook::tools
