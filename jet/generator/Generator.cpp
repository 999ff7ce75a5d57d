#include "jet/generator/Generator.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <span>

#include "jet/util/Bytes.h"
#include "jet/file/Crypto.h"
#include "jet/util/Error.h"
#include "jet/file/File_Output.h"
#include "jet/file/Format.h"
#include "jet/index/Key_Encoding.h"
#include "jet/file/Page_File.h"
#include "jet/table/Table_Definition.h"
#include "jet/table/Table_Builder.h"
#include "jet/engine/Writer.h"

namespace kelbrook::jet {

namespace {

namespace f = format;

// ---- Fixed facts of the databases we make ----------------------------------------------

// Owner and permission SIDs as a Jet workgroup writes them (two bytes each).
const Byte_Vector Sid_Creator = {0x65, 0x89};
const Byte_Vector Sid_Admins = {0x64, 0x8B};
const Byte_Vector Sid_Users = {0x65, 0x8B};
const Byte_Vector Sid_Engine = {0x65, 0x8E};

const std::string Default_Data_Password = "wexo4m";

// Row and long-value bytes beyond which no Jet 4.0 file (2 GB) can hold the database.
constexpr std::uint64_t Max_Generated_Bytes = 2ull * 1024 * 1024 * 1024;

// ---- Deterministic values --------------------------------------------------------------

class Rng {
public:
    explicit Rng(std::uint64_t seed) : state_(seed) {}
    std::uint64_t Next() {  // splitmix64
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::uint64_t Below(std::uint64_t n) { return n == 0 ? 0 : Next() % n; }
    std::int64_t Between(std::int64_t lo, std::int64_t hi) {
        return lo + static_cast<std::int64_t>(Below(static_cast<std::uint64_t>(hi - lo + 1)));
    }
    double Unit() { return static_cast<double>(Next() >> 11) / 9007199254740992.0; }
    bool Chance(double p) { return Unit() < p; }
    template <class T, std::size_t N>
    const T& Pick(const T (&items)[N]) {
        return items[Below(N)];
    }

private:
    std::uint64_t state_;
};

// Words of indexed text use only characters with settled sort codes (see Key_Encoding).
const char* const Words[] = {"alpha",  "beta",   "gamma",   "delta",  "sample", "reagent", "buffer",
                             "blank",  "control", "standard", "serum", "plasma", "urine",  "water",
                             "batch",  "lot",    "check",   "daily",  "weekly", "level",  "high",
                             "low",    "normal", "repeat",  "manual", "auto",   "retest", "diluted"};
const char* const Analytes[] = {"Glucose", "Sodium",  "Potassium", "Chloride",  "Calcium",    "Urea",
                                "Albumin", "Lactate", "Magnesium", "Phosphate", "Cholesterol", "Iron",
                                "Bilirubin", "Creatinine", "Triglycerides", "Amylase"};
const char* const Units[] = {"mmol/L", "mg/dL", "g/L", "U/L", "umol/L", "%"};
const char* const Matrices[] = {"Serum", "Plasma", "Urine", "Whole blood", "CSF", "Water"};
const char* const People[] = {"Anna Berg", "Oskar Lind", "Maria Holm", "Peter Strand", "Lena Dahl",
                              "Erik Nyberg", "Karin Sjoberg", "Jonas Ek", "Sara Lund", "Ola Vik",
                              "Ingrid Falk", "Per Moller"};
const char* const Actions[] = {"Login", "Logout", "Result accepted", "Result rejected", "Sample registered",
                               "Calibration started", "Method edited", "Export", "Print report",
                               "Settings changed"};
const char* const Instruments[] = {"Analyser 1", "Analyser 2", "Analyser 3", "Reference unit"};
const char* const Methods[] = {"Glucose HK", "Sodium ISE", "Potassium ISE", "Chloride ISE", "Calcium Arsenaso",
                               "Urea UV", "Albumin BCG", "Lactate Oxidase"};
const char* const Event_Texts[] = {"Run started", "Cuvette temperature stable", "Reagent loaded",
                                   "Sample aspirated", "Measurement done", "Wash cycle",
                                   "Level sensor: low reagent volume", "Run finished", "Lamp check OK",
                                   "Calibration curve accepted"};

std::string Sentence(Rng& rng, std::size_t target_bytes) {
    std::string s;
    while (s.size() < target_bytes) {
        if (!s.empty()) s += rng.Chance(0.1) ? ". " : " ";
        s += rng.Pick(Words);
    }
    s.resize(target_bytes);
    if (!s.empty() && s.back() == ' ') s.back() = '.';
    return s;
}

// A memo/OLE length: mostly small (kept in the row), some on one long-value page,
// a few spread over several pages.
std::size_t Long_Value_Size(Rng& rng) {
    double u = rng.Unit();
    if (u < 0.70) return static_cast<std::size_t>(rng.Between(4, 60));
    if (u < 0.96) return static_cast<std::size_t>(rng.Between(100, 2500));
    return static_cast<std::size_t>(rng.Between(4500, 14000));
}

Byte_Vector Random_Bytes(Rng& rng, std::size_t size) {
    Byte_Vector b(size);
    for (std::size_t i = 0; i < size; i += 8) {
        std::uint64_t v = rng.Next();
        for (std::size_t k = 0; k < 8 && i + k < size; ++k) b[i + k] = static_cast<std::uint8_t>(v >> (8 * k));
    }
    return b;
}

// A binary blob that looks like a stored measurement curve (header + samples). Integer
// arithmetic only, so every platform makes the same bytes.
Byte_Vector Curve(Rng& rng, std::size_t size) {
    Byte_Vector b(size);
    const char magic[] = "CRV1";
    for (std::size_t i = 0; i < size; ++i) {
        if (i < 4) {
            b[i] = static_cast<std::uint8_t>(magic[i]);
        } else {
            const std::size_t t = i % 128;
            const std::size_t wave = t < 64 ? t * 3 : (127 - t) * 3;
            b[i] = static_cast<std::uint8_t>(20 + wave + rng.Below(9));
        }
    }
    return b;
}

Field_Value Text(std::string s) { return Field_Value{std::move(s)}; }
Field_Value Int(std::int64_t v) { return Field_Value{v}; }
Field_Value Real(double v) { return Field_Value{v}; }
Field_Value Flag(bool v) { return Field_Value{v}; }
Field_Value Blob(Byte_Vector b) { return Field_Value{std::move(b)}; }
const Field_Value Null{};

const double Epoch = Ole_Date(2012, 1, 9, 7, 30, 0);  // first day of the instrument's life
const double Created = Ole_Date(2012, 1, 2, 9, 15, 0);  // when the database was made

double Stamp(std::uint64_t step, double per_day, Rng& rng) {
    const double seconds = std::floor(static_cast<double>(step) * 86400.0 / per_day) +
                           static_cast<double>(rng.Below(600));
    return Epoch + std::floor(seconds) / 86400.0;
}

// ---- Table descriptions ----------------------------------------------------------------

Column_Layout Col(std::string name, std::uint8_t type, std::uint16_t length = 0) {
    Column_Layout c;
    c.name = std::move(name);
    c.type = type;
    c.length = length;
    return c;
}

void Add_Primary_Key(Table_Layout& t, const std::string& column) {
    Index_Layout index;
    index.columns = {{t.Column_Number(column), true}};
    index.flags = f::Index_Flag_Unique | f::Index_Flag_Required | f::Index_Flag_Always;
    t.indexes.push_back(index);
    Logical_Index_Layout li;
    li.name = "PrimaryKey";
    li.real_index = static_cast<std::uint32_t>(t.indexes.size() - 1);
    li.type = f::Logical_Index_Primary_Key;
    t.logical_indexes.push_back(li);
}

void Add_Index(Table_Layout& t, const std::string& name, const std::vector<std::string>& columns,
               std::uint8_t flags = f::Index_Flag_Always) {
    Index_Layout index;
    for (const auto& c : columns) index.columns.push_back({t.Column_Number(c), true});
    index.flags = flags | f::Index_Flag_Always;
    t.indexes.push_back(index);
    Logical_Index_Layout li;
    li.name = name;
    li.real_index = static_cast<std::uint32_t>(t.indexes.size() - 1);
    t.logical_indexes.push_back(li);
}

struct Context;

struct Table_Plan {
    Table_Layout layout;
    std::uint64_t live = 0;  // live rows wanted
    bool history = true;     // deletions and overflow rows
    bool dropped = false;    // written, then dropped: its pages end up free
    // Values of the row with counter `id` (1-based); `version` > 0 for an updated row.
    std::function<std::vector<Field_Value>(std::uint64_t id, int version, Rng& rng, const Context& ctx)> make;
};

struct Relation {
    std::string name;
    std::size_t child = 0;   // plan holding the foreign key
    std::string child_column;
    std::size_t parent = 0;  // plan referenced
    std::string parent_column;
    bool cascade_update = false;
    bool cascade_delete = false;
    // Filled in while wiring.
    std::uint32_t child_logical = 0;
    std::uint32_t parent_logical = 0;
};

struct Context {
    std::vector<std::vector<std::uint32_t>> live_ids;  // per plan: counters of its live rows
    std::uint32_t Parent_Of(std::size_t plan, Rng& rng) const {
        const auto& ids = live_ids[plan];
        if (ids.empty()) return 0;
        // Later rows refer mostly to recent parents, as measurements follow samples.
        std::uint64_t n = ids.size();
        std::uint64_t back = std::min<std::uint64_t>(n - 1, rng.Below(std::max<std::uint64_t>(1, n / 4 + 1)));
        return ids[n - 1 - back];
    }
};

struct Profile {
    std::vector<Table_Plan> plans;
    std::vector<Relation> relations;
    std::string default_password;
};

std::size_t Plan_Index(const Profile& p, const std::string& name) {
    for (std::size_t i = 0; i < p.plans.size(); ++i)
        if (p.plans[i].layout.name == name) return i;
    throw Error("generator: no table " + name);
}

// Live row counts follow the main table's.
std::uint64_t Share(std::uint64_t main, std::uint64_t divisor, std::uint64_t minimum) {
    return std::max<std::uint64_t>(minimum, main / divisor);
}

// A table that an import once filled and a user later deleted.
Table_Plan Dropped_Import_Table(std::uint64_t main) {
    Table_Plan p;
    p.layout.name = "ImportTemp";
    p.layout.columns = {Col("LineNo", f::Type_Int32), Col("RawLine", f::Type_Text, 200),
                      Col("Parsed", f::Type_Double), Col("ImportedAt", f::Type_Datetime)};
    p.layout.Lay_Out();
    Add_Primary_Key(p.layout, "LineNo");
    p.live = Share(main, 10, 300);
    p.history = false;
    p.dropped = true;
    p.make = [](std::uint64_t id, int, Rng& rng, const Context&) {
        return std::vector<Field_Value>{Int(static_cast<std::int64_t>(id)),
                                  Text("IMPORT;" + std::to_string(id) + ";" + Sentence(rng, 40)),
                                  Real(static_cast<double>(rng.Below(100000)) / 100.0), Real(Stamp(id, 5000, rng))};
    };
    return p;
}

Profile Every_Type_Profile(std::uint64_t main) {
    Profile pr;
    {
        Table_Plan p;
        p.layout.name = "Categories";
        p.layout.columns = {Col("CategoryId", f::Type_Int32), Col("CategoryName", f::Type_Text, 50),
                          Col("Notes", f::Type_Memo)};
        p.layout.columns[0].auto_number = true;
        p.layout.Lay_Out();
        Add_Primary_Key(p.layout, "CategoryId");
        Add_Index(p.layout, "CategoryName", {"CategoryName"}, f::Index_Flag_Unique);
        p.live = Share(main, 100, 6);
        p.history = false;
        p.make = [](std::uint64_t id, int, Rng& rng, const Context&) {
            return std::vector<Field_Value>{Int(static_cast<std::int64_t>(id)),
                                      Text(std::string("Category ") + rng.Pick(Words) + " " + std::to_string(id)),
                                      rng.Chance(0.3) ? Null : Text(Sentence(rng, Long_Value_Size(rng)))};
        };
        pr.plans.push_back(std::move(p));
    }
    {
        Table_Plan p;
        p.layout.name = "AllTypes";
        p.layout.columns = {Col("Id", f::Type_Int32),          Col("Flag", f::Type_Boolean),
                          Col("Level", f::Type_Byte),        Col("Small", f::Type_Int16),
                          Col("Counter", f::Type_Int32),     Col("Price", f::Type_Money),
                          Col("Ratio", f::Type_Float),       Col("Reading", f::Type_Double),
                          Col("Taken", f::Type_Datetime),    Col("Raw", f::Type_Binary, 32),
                          Col("Label", f::Type_Text, 80),    Col("Notes", f::Type_Memo),
                          Col("Picture", f::Type_Ole),       Col("Tag", f::Type_Guid),
                          Col("Amount", f::Type_Numeric),    Col("CategoryId", f::Type_Int32),
                          Col("Remark", f::Type_Text, 255)};
        p.layout.columns[0].auto_number = true;
        p.layout.columns[14].precision = 18;
        p.layout.columns[14].scale = 4;
        p.layout.Lay_Out();
        Add_Primary_Key(p.layout, "Id");
        Add_Index(p.layout, "Counter", {"Counter"}, f::Index_Flag_Unique);
        Add_Index(p.layout, "Label", {"Label"});
        Add_Index(p.layout, "CategoryTaken", {"CategoryId", "Taken"});
        p.live = main;
        p.make = [](std::uint64_t id, int version, Rng& rng, const Context& ctx) {
            auto maybe = [&](Field_Value v) { return rng.Chance(0.08) ? Null : std::move(v); };
            std::vector<Field_Value> v;
            v.push_back(Int(static_cast<std::int64_t>(id)));
            v.push_back(rng.Chance(0.05) ? Null : Flag(rng.Chance(0.5)));
            v.push_back(maybe(Int(rng.Between(0, 255))));
            v.push_back(maybe(Int(rng.Between(-32768, 32767))));
            v.push_back(Int(static_cast<std::int64_t>(id) * 7 + 1000));  // unique
            v.push_back(maybe(Int(rng.Between(-5000000000LL, 90000000000LL))));
            v.push_back(maybe(Real(static_cast<double>(rng.Between(-100000, 100000)) / 64.0)));
            v.push_back(maybe(Real(static_cast<double>(rng.Between(-1000000000, 1000000000)) / 1024.0)));
            v.push_back(maybe(Real(Stamp(id, 400, rng))));
            v.push_back(maybe(Blob(Random_Bytes(rng, static_cast<std::size_t>(rng.Between(1, 32))))));
            v.push_back(maybe(Text(std::string(rng.Pick(Words)) + " " + rng.Pick(Words) + " " +
                                   std::to_string(rng.Below(1000)))));
            std::size_t memo = Long_Value_Size(rng) + (version > 0 ? 40 : 0);
            v.push_back(maybe(Text(Sentence(rng, memo))));
            v.push_back(maybe(Blob(Random_Bytes(rng, Long_Value_Size(rng)))));
            v.push_back(maybe(Blob(Random_Bytes(rng, 16))));
            v.push_back(maybe(Int(rng.Between(-99999999999LL, 99999999999LL))));
            std::uint32_t parent = ctx.Parent_Of(0, rng);
            v.push_back(parent == 0 ? Null : Int(parent));
            v.push_back(rng.Chance(0.4) ? Null
                                        : Text("Note #" + std::to_string(id) + ": " +
                                               Sentence(rng, static_cast<std::size_t>(rng.Between(5, 120))) +
                                               (version > 0 ? " (edited, see log)" : "")));
            return v;
        };
        pr.plans.push_back(std::move(p));
    }
    pr.plans.push_back(Dropped_Import_Table(main));
    pr.relations.push_back({"CategoriesAllTypes", Plan_Index(pr, "AllTypes"), "CategoryId",
                            Plan_Index(pr, "Categories"), "CategoryId", true, false});
    return pr;
}

Profile Instrument_Data_Profile(std::uint64_t main) {
    Profile pr;
    pr.default_password = Default_Data_Password;
    {
        Table_Plan p;
        p.layout.name = "Operators";
        p.layout.columns = {Col("OperatorId", f::Type_Int32), Col("LoginName", f::Type_Text, 30),
                          Col("FullName", f::Type_Text, 80), Col("Active", f::Type_Boolean)};
        p.layout.columns[0].auto_number = true;
        p.layout.Lay_Out();
        Add_Primary_Key(p.layout, "OperatorId");
        Add_Index(p.layout, "LoginName", {"LoginName"}, f::Index_Flag_Unique);
        p.live = std::size(People);
        p.history = false;
        p.make = [](std::uint64_t id, int, Rng& rng, const Context&) {
            std::string name = People[(id - 1) % std::size(People)];
            std::string login = name.substr(0, name.find(' ')) + std::to_string(id);
            return std::vector<Field_Value>{Int(static_cast<std::int64_t>(id)), Text(login), Text(name),
                                      Flag(rng.Chance(0.8))};
        };
        pr.plans.push_back(std::move(p));
    }
    {
        Table_Plan p;
        p.layout.name = "Samples";
        p.layout.columns = {Col("SampleId", f::Type_Int32),  Col("SampleName", f::Type_Text, 40),
                          Col("OperatorId", f::Type_Int32), Col("Registered", f::Type_Datetime),
                          Col("Matrix", f::Type_Text, 30), Col("Priority", f::Type_Byte),
                          Col("Comment", f::Type_Memo)};
        p.layout.columns[0].auto_number = true;
        p.layout.Lay_Out();
        Add_Primary_Key(p.layout, "SampleId");
        Add_Index(p.layout, "SampleName", {"SampleName"}, f::Index_Flag_Unique);
        Add_Index(p.layout, "Registered", {"Registered"});
        p.live = Share(main, 6, 10);
        p.make = [](std::uint64_t id, int version, Rng& rng, const Context& ctx) {
            return std::vector<Field_Value>{
                Int(static_cast<std::int64_t>(id)), Text("S" + std::to_string(100000 + id)),
                Int(ctx.Parent_Of(0, rng)), Real(Stamp(id, 60, rng)), Text(rng.Pick(Matrices)),
                Int(rng.Between(1, 3)),
                (version == 0 && rng.Chance(0.6)) ? Null : Text(Sentence(rng, Long_Value_Size(rng) + 30u * version))};
        };
        pr.plans.push_back(std::move(p));
    }
    {
        Table_Plan p;
        p.layout.name = "Results";
        p.layout.columns = {Col("ResultId", f::Type_Int32),  Col("SampleId", f::Type_Int32),
                          Col("Measured", f::Type_Datetime), Col("Analyte", f::Type_Text, 40),
                          Col("Reading", f::Type_Double),   Col("Unit", f::Type_Text, 16),
                          Col("Dilution", f::Type_Float),   Col("ResultFlags", f::Type_Int16),
                          Col("Accepted", f::Type_Boolean), Col("Curve", f::Type_Ole),
                          Col("Note", f::Type_Text, 255)};
        p.layout.columns[0].auto_number = true;
        p.layout.Lay_Out();
        Add_Primary_Key(p.layout, "ResultId");
        Add_Index(p.layout, "SampleMeasured", {"SampleId", "Measured"});
        Add_Index(p.layout, "Analyte", {"Analyte"});
        p.live = main;
        p.make = [](std::uint64_t id, int version, Rng& rng, const Context& ctx) {
            std::size_t analyte = rng.Below(std::size(Analytes));
            std::size_t curve = rng.Chance(0.5) ? 0 : static_cast<std::size_t>(rng.Between(200, 3000));
            if (rng.Chance(0.03)) curve = static_cast<std::size_t>(rng.Between(5000, 12000));
            return std::vector<Field_Value>{
                Int(static_cast<std::int64_t>(id)), Int(ctx.Parent_Of(1, rng)), Real(Stamp(id, 360, rng)),
                Text(Analytes[analyte]), Real(static_cast<double>(rng.Between(1, 2000000)) / 1000.0),
                Text(Units[analyte % std::size(Units)]), Real(rng.Chance(0.9) ? 1.0 : 2.0 * static_cast<double>(rng.Between(1, 10))),
                Int(rng.Between(0, 15)), Flag(version > 0 || rng.Chance(0.9)),
                curve == 0 ? Null : Blob(Curve(rng, curve)),
                (version == 0 && rng.Chance(0.85)) ? Null
                                                   : Text("Checked by " + std::string(rng.Pick(People)) + ". " +
                                                          Sentence(rng, static_cast<std::size_t>(rng.Between(10, 90))))};
        };
        pr.plans.push_back(std::move(p));
    }
    {
        Table_Plan p;
        p.layout.name = "AuditTrail";
        p.layout.columns = {Col("EntryId", f::Type_Int32), Col("Stamp", f::Type_Datetime),
                          Col("UserName", f::Type_Text, 30), Col("Action", f::Type_Text, 40),
                          Col("Details", f::Type_Memo)};
        p.layout.columns[0].auto_number = true;
        p.layout.Lay_Out();
        Add_Primary_Key(p.layout, "EntryId");
        Add_Index(p.layout, "Stamp", {"Stamp"});
        p.live = Share(main, 3, 20);
        p.make = [](std::uint64_t id, int, Rng& rng, const Context&) {
            return std::vector<Field_Value>{Int(static_cast<std::int64_t>(id)), Real(Stamp(id, 120, rng)),
                                      Text(rng.Pick(People)), Text(rng.Pick(Actions)),
                                      rng.Chance(0.5) ? Null : Text(Sentence(rng, Long_Value_Size(rng)))};
        };
        pr.plans.push_back(std::move(p));
    }
    pr.plans.push_back(Dropped_Import_Table(main));
    pr.relations.push_back({"OperatorsSamples", Plan_Index(pr, "Samples"), "OperatorId", Plan_Index(pr, "Operators"),
                            "OperatorId", false, false});
    pr.relations.push_back({"SamplesResults", Plan_Index(pr, "Results"), "SampleId", Plan_Index(pr, "Samples"),
                            "SampleId", true, true});
    return pr;
}

Profile Instrument_History_Profile(std::uint64_t main) {
    Profile pr;
    {
        Table_Plan p;
        p.layout.name = "Methods";
        p.layout.columns = {Col("MethodId", f::Type_Int32), Col("MethodName", f::Type_Text, 60),
                          Col("Revision", f::Type_Int16), Col("Parameters", f::Type_Memo)};
        p.layout.columns[0].auto_number = true;
        p.layout.Lay_Out();
        Add_Primary_Key(p.layout, "MethodId");
        Add_Index(p.layout, "MethodName", {"MethodName"}, f::Index_Flag_Unique);
        p.live = std::size(Methods);
        p.history = false;
        p.make = [](std::uint64_t id, int, Rng& rng, const Context&) {
            return std::vector<Field_Value>{Int(static_cast<std::int64_t>(id)), Text(Methods[(id - 1) % std::size(Methods)]),
                                      Int(rng.Between(1, 12)),
                                      Text("[Method]\r\nWavelength=" + std::to_string(rng.Between(340, 700)) +
                                           "\r\nIncubation=" + std::to_string(rng.Between(30, 600)) + "\r\n" +
                                           Sentence(rng, static_cast<std::size_t>(rng.Between(20, 3000))))};
        };
        pr.plans.push_back(std::move(p));
    }
    {
        Table_Plan p;
        p.layout.name = "Runs";
        p.layout.columns = {Col("RunId", f::Type_Int32), Col("MethodId", f::Type_Int32),
                          Col("Started", f::Type_Datetime), Col("Finished", f::Type_Datetime),
                          Col("Instrument", f::Type_Text, 30), Col("RunStatus", f::Type_Byte)};
        p.layout.columns[0].auto_number = true;
        p.layout.Lay_Out();
        Add_Primary_Key(p.layout, "RunId");
        Add_Index(p.layout, "Started", {"Started"});
        p.live = Share(main, 20, 5);
        p.make = [](std::uint64_t id, int, Rng& rng, const Context& ctx) {
            double start = Stamp(id, 24, rng);
            return std::vector<Field_Value>{Int(static_cast<std::int64_t>(id)), Int(ctx.Parent_Of(0, rng)), Real(start),
                                      rng.Chance(0.05) ? Null : Real(start + static_cast<double>(rng.Between(600, 7200)) / 86400.0),
                                      Text(rng.Pick(Instruments)), Int(rng.Between(0, 4))};
        };
        pr.plans.push_back(std::move(p));
    }
    {
        Table_Plan p;
        p.layout.name = "RunEvents";
        p.layout.columns = {Col("EventId", f::Type_Int32), Col("RunId", f::Type_Int32),
                          Col("Stamp", f::Type_Datetime), Col("Severity", f::Type_Int16),
                          Col("Message", f::Type_Text, 200), Col("Details", f::Type_Memo)};
        p.layout.columns[0].auto_number = true;
        p.layout.Lay_Out();
        Add_Primary_Key(p.layout, "EventId");
        Add_Index(p.layout, "RunStamp", {"RunId", "Stamp"});
        p.live = main;
        p.make = [](std::uint64_t id, int version, Rng& rng, const Context& ctx) {
            return std::vector<Field_Value>{Int(static_cast<std::int64_t>(id)), Int(ctx.Parent_Of(1, rng)),
                                      Real(Stamp(id, 480, rng)), Int(rng.Between(0, 3)),
                                      Text(std::string(rng.Pick(Event_Texts)) + (version > 0 ? " (amended)" : "")),
                                      rng.Chance(0.6) ? Null : Text(Sentence(rng, Long_Value_Size(rng)))};
        };
        pr.plans.push_back(std::move(p));
    }
    {
        Table_Plan p;
        p.layout.name = "Calibrations";
        p.layout.columns = {Col("CalibrationId", f::Type_Int32), Col("Analyte", f::Type_Text, 40),
                          Col("Slope", f::Type_Double),       Col("Intercept", f::Type_Double),
                          Col("Stamp", f::Type_Datetime),     Col("Valid", f::Type_Boolean),
                          Col("RawData", f::Type_Ole)};
        p.layout.columns[0].auto_number = true;
        p.layout.Lay_Out();
        Add_Primary_Key(p.layout, "CalibrationId");
        Add_Index(p.layout, "AnalyteStamp", {"Analyte", "Stamp"});
        p.live = Share(main, 50, 10);
        p.make = [](std::uint64_t id, int, Rng& rng, const Context&) {
            return std::vector<Field_Value>{Int(static_cast<std::int64_t>(id)), Text(rng.Pick(Analytes)),
                                      Real(static_cast<double>(rng.Between(500, 1500)) / 1000.0),
                                      Real(static_cast<double>(rng.Between(-500, 500)) / 10000.0),
                                      Real(Stamp(id, 3, rng)), Flag(rng.Chance(0.9)),
                                      Blob(Curve(rng, static_cast<std::size_t>(rng.Between(40, 6000))))};
        };
        pr.plans.push_back(std::move(p));
    }
    pr.plans.push_back(Dropped_Import_Table(main));
    pr.relations.push_back({"MethodsRuns", Plan_Index(pr, "Runs"), "MethodId", Plan_Index(pr, "Methods"), "MethodId",
                            false, false});
    pr.relations.push_back({"RunsRunEvents", Plan_Index(pr, "RunEvents"), "RunId", Plan_Index(pr, "Runs"), "RunId",
                            true, true});
    return pr;
}

Profile Make_Profile(const std::string& name, std::uint64_t main) {
    if (name == "every-type") return Every_Type_Profile(main);
    if (name == "instrument-data") return Instrument_Data_Profile(main);
    if (name == "instrument-history") return Instrument_History_Profile(main);
    std::string known;
    for (const auto& p : Generator_Profiles()) known += (known.empty() ? "" : ", ") + p;
    throw Error("Unknown profile \"" + name + "\"; the profiles are " + known + ".");
}

// ---- Jet's own tables --------------------------------------------------------------------

Table_Layout Catalog_Layout() {
    Table_Layout t;
    t.name = "MSysObjects";
    t.system = true;
    t.blocks_by_name = true;
    t.columns = {Col("Id", f::Type_Int32),           Col("ParentId", f::Type_Int32),
                 Col("Name", f::Type_Text, 255),     Col("Type", f::Type_Int16),
                 Col("DateCreate", f::Type_Datetime), Col("DateUpdate", f::Type_Datetime),
                 Col("Owner", f::Type_Binary, 510),  Col("Flags", f::Type_Int32),
                 Col("Database", f::Type_Memo),      Col("Connect", f::Type_Memo),
                 Col("ForeignName", f::Type_Text, 255), Col("RmtInfoShort", f::Type_Binary, 510),
                 Col("RmtInfoLong", f::Type_Ole),    Col("Lv", f::Type_Ole),
                 Col("LvProp", f::Type_Ole),         Col("LvModule", f::Type_Ole),
                 Col("LvExtra", f::Type_Ole)};
    t.Lay_Out();
    t.indexes = {{{{1, true}, {2, true}}, f::Index_Flag_Unique}, {{{0, true}}, f::Index_Flag_Unique}};
    Logical_Index_Layout parent_name;
    parent_name.name = "ParentIdName";
    parent_name.real_index = 0;
    Logical_Index_Layout id;
    id.name = "Id";
    id.real_index = 1;
    id.type = f::Logical_Index_Primary_Key;
    t.logical_indexes = {parent_name, id};
    return t;
}

Table_Layout Aces_Layout() {
    Table_Layout t;
    t.name = "MSysACEs";
    t.system = true;
    t.blocks_by_name = true;
    t.columns = {Col("ObjectId", f::Type_Int32), Col("SID", f::Type_Binary, 510), Col("ACM", f::Type_Int32),
                 Col("FInheritable", f::Type_Boolean)};
    t.Lay_Out();
    t.indexes = {{{{0, true}}, f::Index_Flag_Required}};
    Logical_Index_Layout li;
    li.name = "ObjectId";
    t.logical_indexes = {li};
    return t;
}

Table_Layout Queries_Layout() {
    Table_Layout t;
    t.name = "MSysQueries";
    t.system = true;
    t.blocks_by_name = true;
    t.columns = {Col("ObjectId", f::Type_Int32),  Col("Attribute", f::Type_Byte),
                 Col("Order", f::Type_Binary, 510), Col("Name1", f::Type_Text, 255),
                 Col("Name2", f::Type_Text, 255), Col("Expression", f::Type_Memo),
                 Col("Flag", f::Type_Int16),       Col("LvExtra", f::Type_Int32)};
    t.Lay_Out();
    t.indexes = {{{{0, true}, {1, true}, {2, true}}, f::Index_Flag_Unique}};
    Logical_Index_Layout li;
    li.name = "ObjectIdAttribute";
    li.type = f::Logical_Index_Primary_Key;
    t.logical_indexes = {li};
    return t;
}

Table_Layout Relationships_Layout() {
    Table_Layout t;
    t.name = "MSysRelationships";
    t.system = true;
    t.blocks_by_name = true;
    t.columns = {Col("szRelationship", f::Type_Text, 255), Col("grbit", f::Type_Int32),
                 Col("ccolumn", f::Type_Int32),           Col("icolumn", f::Type_Int32),
                 Col("szObject", f::Type_Text, 255),      Col("szColumn", f::Type_Text, 255),
                 Col("szReferencedObject", f::Type_Text, 255), Col("szReferencedColumn", f::Type_Text, 255)};
    t.Lay_Out();
    t.indexes = {{{{0, true}}, f::Index_Flag_Ignore_Nulls},
                 {{{4, true}}, f::Index_Flag_Ignore_Nulls},
                 {{{6, true}}, f::Index_Flag_Ignore_Nulls}};
    for (auto [name, real] : {std::pair<const char*, std::uint32_t>{"szRelationship", 0},
                              {"szObject", 1},
                              {"szReferencedObject", 2}}) {
        Logical_Index_Layout li;
        li.name = name;
        li.real_index = real;
        t.logical_indexes.push_back(li);
    }
    return t;
}

// ---- Building the image --------------------------------------------------------------

// What the history pass must do to one table of the written file.
struct Table_History {
    std::size_t image_table = 0;
    std::uint32_t tdef_page = 0;
    std::uint64_t live = 0;
    std::vector<std::uint32_t> deleted;                            // row indexes
    std::vector<std::pair<std::uint32_t, std::uint32_t>> moved;    // header row, target row
};

struct Built {
    Database_Image image;
    std::vector<Table_History> history;
    std::vector<std::uint32_t> dropped_tdef_pages;  // tables whose pages are freed
    std::vector<std::uint32_t> tdef_pages;          // every table's, in image order
    std::vector<Generated_Table> tables;
};

std::uint64_t Stored_Size(const Row_Image& row) {
    std::uint64_t size = row.bytes.size();
    for (const auto& lv : row.long_values) size += lv.value.size();
    return size;
}

class Image_Table {
public:
    Image_Table(Table_Image& image, const Table_Layout& layout) : image_(image), layout_(layout) {
        image_.indexes.resize(layout.indexes.size());
    }
    // Appends a row; `key_values` (when given) decide its index entries, else `values`.
    // Deleted rows and the replaced versions of moved rows keep their long values; the
    // history pass flags those long-value rows deleted, as Jet does when it frees them.
    std::uint32_t Add(const std::vector<Field_Value>& values, bool indexed,
                      const std::vector<Field_Value>* key_values = nullptr) {
        const auto row = static_cast<std::uint32_t>(image_.rows.size());
        image_.rows.push_back(Build_Row(layout_, values));
        if (indexed) {
            const std::vector<Field_Value>& kv = key_values != nullptr ? *key_values : values;
            for (std::size_t i = 0; i < layout_.indexes.size(); ++i) {
                if (Index_Skips_Row(layout_, layout_.indexes[i], kv)) continue;
                image_.indexes[i].Add(Encode_Index_Key(layout_, layout_.indexes[i], kv), row);
            }
        }
        return row;
    }
    std::uint32_t Add_Unindexed(Row_Image row) {
        image_.rows.push_back(std::move(row));
        return static_cast<std::uint32_t>(image_.rows.size() - 1);
    }

private:
    Table_Image& image_;
    const Table_Layout& layout_;
};

std::array<std::uint8_t, f::Page_Size> Build_Header() {
    std::array<std::uint8_t, f::Page_Size> h{};
    std::span<std::uint8_t> s(h);
    std::copy(f::Header_Signature.begin(), f::Header_Signature.end(), h.begin());
    std::memcpy(h.data() + f::Header_Engine_Name, f::Engine_Name, sizeof f::Engine_Name);
    h[f::Header_Version] = f::Version_Jet4;
    std::copy(f::Engine_Constants.begin(), f::Engine_Constants.end(), h.begin() + f::Header_Engine_Constants);
    Put_U16(s, f::Header_Code_Page, f::Code_Page_Western);
    Put_U16(s, f::Header_Creator_Build, f::Creator_Build);
    Put_U16(s, f::Header_Sort_Order, f::General_Sort_Lcid);
    std::uint64_t date_bits;
    std::memcpy(&date_bits, &Created, 8);
    Put_U32(s, f::Header_Creation_Date, static_cast<std::uint32_t>(date_bits));
    Put_U32(s, f::Header_Creation_Date + 4, static_cast<std::uint32_t>(date_bits >> 32));
    Put_U32(s, f::Header_Marker_98, f::Marker_98_Value);
    std::memcpy(h.data() + f::Header_Format_Text, "4.0", 4);
    for (std::size_t i = 0; i < 256; ++i) {
        h[f::Header_Word_Table + 2 * i] = i == 0 ? 0x01 : 0x00;
        h[f::Header_Word_Table + 2 * i + 1] = 0x01;
    }
    return h;
}

struct Catalog_Entry {
    std::int32_t id;
    std::int32_t parent;
    std::string name;
    std::int16_t type;
    std::uint32_t flags;
    Byte_Vector owner;
    bool dropped = false;
};

Built Build(const Generate_Options& options, std::uint64_t main_rows) {
    Profile profile = Make_Profile(options.profile, main_rows);
    Built out;
    out.image.header = Build_Header();
    out.image.password = options.password.value_or(profile.default_password);
    if (options.encrypt) {
        Rng key_rng(options.seed ^ 0x5EC1E7ull);
        std::uint32_t key = 0;
        while (key == 0) key = static_cast<std::uint32_t>(key_rng.Next());
        out.image.database_key = key;
    }

    // Foreign keys: a real index on the referencing column and a logical index on each side.
    for (Relation& r : profile.relations) {
        Table_Layout& child = profile.plans[r.child].layout;
        Table_Layout& parent = profile.plans[r.parent].layout;
        Index_Layout fk_index;
        fk_index.columns = {{child.Column_Number(r.child_column), true}};
        child.indexes.push_back(fk_index);
        r.child_logical = static_cast<std::uint32_t>(child.logical_indexes.size());
        Logical_Index_Layout cl;
        cl.name = r.name;
        cl.real_index = static_cast<std::uint32_t>(child.indexes.size() - 1);
        cl.type = f::Logical_Index_Foreign_Key;
        cl.relation_role = 2;
        cl.cascade_update = r.cascade_update ? 1 : 0;
        cl.cascade_delete = r.cascade_delete ? 1 : 0;
        child.logical_indexes.push_back(cl);
        r.parent_logical = static_cast<std::uint32_t>(parent.logical_indexes.size());
        Logical_Index_Layout pl;
        pl.name = ".rC";
        pl.real_index = 0;  // the primary key, always the first real index
        pl.type = f::Logical_Index_Foreign_Key;
        pl.relation_role = 1;
        pl.cascade_update = cl.cascade_update;
        pl.cascade_delete = cl.cascade_delete;
        parent.logical_indexes.push_back(pl);
    }
    for (Relation& r : profile.relations) {
        profile.plans[r.child].layout.logical_indexes[r.child_logical].related_index = static_cast<std::int32_t>(r.parent_logical);
        profile.plans[r.parent].layout.logical_indexes[r.parent_logical].related_index = static_cast<std::int32_t>(r.child_logical);
    }

    std::vector<Table_Layout> system = {Catalog_Layout(), Aces_Layout(), Queries_Layout(), Relationships_Layout()};
    std::vector<std::size_t> lengths;
    for (const auto& t : system) lengths.push_back(Build_Definition(t).size());
    for (const auto& p : profile.plans) lengths.push_back(Build_Definition(p.layout).size());
    const std::vector<std::uint32_t> pages = Definition_Pages(lengths);
    auto plan_page = [&](std::size_t plan) { return pages[system.size() + plan]; };
    for (const Relation& r : profile.relations) {
        profile.plans[r.child].layout.logical_indexes[r.child_logical].related_table_page = plan_page(r.parent);
        profile.plans[r.parent].layout.logical_indexes[r.parent_logical].related_table_page = plan_page(r.child);
    }

    out.image.tables.resize(system.size() + profile.plans.size());
    out.tdef_pages = pages;
    for (std::size_t i = 0; i < system.size(); ++i) out.image.tables[i].name = system[i].name;

    // User rows.
    Rng rng(options.seed * 0x9E3779B97F4A7C15ull + 0x1234567ull);
    Context ctx;
    ctx.live_ids.resize(profile.plans.size());
    const double deleted_fraction = std::clamp(options.deleted_fraction, 0.0, 0.95);
    std::uint64_t written_bytes = 0;
    for (std::size_t pi = 0; pi < profile.plans.size(); ++pi) {
        Table_Plan& plan = profile.plans[pi];
        Table_Image& image = out.image.tables[system.size() + pi];
        image.name = plan.layout.name;
        Image_Table table(image, plan.layout);
        Table_History history;
        history.image_table = system.size() + pi;
        history.tdef_page = plan_page(pi);
        Generated_Table report;
        report.name = plan.layout.name;
        for (const auto& c : plan.layout.columns) report.column_names.push_back(c.name);

        const bool with_history = plan.history && deleted_fraction > 0;
        // Deletions come singly and in runs (a purge of old results).
        const double single = deleted_fraction * 0.6;
        const double run_start = deleted_fraction * 0.4 / 40.0;
        const double move_share = with_history ? std::min(0.03, deleted_fraction * 0.1) : 0.0;
        std::uint64_t run_left = 0;
        std::uint64_t id = 0;
        std::vector<std::pair<std::uint32_t, std::vector<Field_Value>>> moved_rows;  // header row, new values
        while (report.live_rows < plan.live) {
            ++id;
            // Stop long before memory runs out when the rows cannot fit a Jet 4.0 file.
            if (!image.rows.empty()) written_bytes += Stored_Size(image.rows.back());
            if (written_bytes > Max_Generated_Bytes)
                throw Error("The database would outgrow the 2 GB a Jet 4.0 file can hold; ask for fewer rows.");
            bool deleted = false;
            if (with_history) {
                if (run_left > 0) {
                    deleted = true;
                    --run_left;
                } else if (rng.Chance(run_start)) {
                    run_left = static_cast<std::uint64_t>(rng.Between(10, 70));
                    deleted = true;
                } else {
                    deleted = rng.Chance(single / (1.0 - deleted_fraction * 0.4));
                }
            }
            std::vector<Field_Value> values = plan.make(id, 0, rng, ctx);
            if (deleted) {
                history.deleted.push_back(table.Add(values, false));
                ++report.deleted_rows;
                continue;
            }
            if (move_share > 0 && rng.Chance(move_share)) {
                std::vector<Field_Value> updated = plan.make(id, 1, rng, ctx);
                std::uint32_t header = table.Add(values, true, &updated);
                moved_rows.emplace_back(header, std::move(updated));
                values = moved_rows.back().second;
                ++report.overflow_rows;
            } else {
                report.live_bytes += Stored_Size(image.rows[table.Add(values, true)]);
            }
            ctx.live_ids[pi].push_back(static_cast<std::uint32_t>(id));
            if (report.first_rows.size() < 3) report.first_rows.push_back(values);
            ++report.live_rows;
        }
        for (auto& [header, values] : moved_rows) {
            std::uint32_t target = table.Add_Unindexed(Build_Row(plan.layout, values));
            report.live_bytes += Stored_Size(image.rows[target]);
            history.moved.emplace_back(header, target);
        }
        plan.layout.last_autonumber = static_cast<std::uint32_t>(id);
        image.definition = Build_Definition(plan.layout);
        history.live = report.live_rows;
        if (plan.dropped) {
            out.dropped_tdef_pages.push_back(plan_page(pi));
        } else {
            out.tables.push_back(std::move(report));
            out.history.push_back(std::move(history));
        }
    }

    // Catalogue.
    std::vector<Catalog_Entry> catalog = {
        {f::Tables_Container_Id, f::Root_Container_Id, "Tables", f::Object_Type_Container, f::Object_Flag_System, Sid_Creator},
        {f::Databases_Container_Id, f::Root_Container_Id, "Databases", f::Object_Type_Container, f::Object_Flag_System, Sid_Creator},
        {f::Relationships_Container_Id, f::Root_Container_Id, "Relationships", f::Object_Type_Container, f::Object_Flag_System,
         Sid_Creator},
        {f::Database_Object_Id, f::Databases_Container_Id, "MSysDb", f::Object_Type_Database, f::Object_Flag_System, Sid_Admins},
    };
    for (std::size_t i = 0; i < system.size(); ++i)
        catalog.push_back({static_cast<std::int32_t>(pages[i]), f::Tables_Container_Id, system[i].name,
                           f::Object_Type_Table, f::Object_Flag_System, Sid_Creator});
    for (std::size_t pi = 0; pi < profile.plans.size(); ++pi) {
        Catalog_Entry e{static_cast<std::int32_t>(plan_page(pi)), f::Tables_Container_Id, profile.plans[pi].layout.name,
                        f::Object_Type_Table, 0, Sid_Creator};
        e.dropped = profile.plans[pi].dropped;
        catalog.push_back(e);
    }
    std::uint32_t synthetic = f::First_Synthetic_Id;
    for (const Relation& r : profile.relations)
        catalog.push_back({static_cast<std::int32_t>(synthetic++), f::Relationships_Container_Id, r.name,
                           f::Object_Type_Relationship, 0, Sid_Creator});

    const double catalog_date = Created;
    {
        Image_Table objects(out.image.tables[0], system[0]);
        Table_History h;
        h.image_table = 0;
        h.tdef_page = pages[0];
        for (const Catalog_Entry& e : catalog) {
            std::vector<Field_Value> v(system[0].columns.size());
            v[0] = Int(e.id);
            v[1] = Int(e.parent);
            v[2] = Text(e.name);
            v[3] = Int(e.type);
            v[4] = Real(catalog_date);
            v[5] = Real(catalog_date);
            v[6] = Blob(e.owner);
            v[7] = Int(static_cast<std::int32_t>(e.flags));
            std::uint32_t row = objects.Add(v, !e.dropped);
            if (e.dropped) h.deleted.push_back(row);
            else ++h.live;
        }
        out.image.tables[0].definition = Build_Definition(system[0]);
        out.history.push_back(std::move(h));
    }
    {
        struct Ace {
            std::int32_t object;
            Byte_Vector sid;
            std::int32_t acm;
            bool inheritable;
            bool dropped;
        };
        const auto id_of = [&](std::size_t i) { return static_cast<std::int32_t>(pages[i]); };
        std::vector<Ace> aces = {
            {id_of(0), Sid_Admins, 393216, false, false},
            {id_of(1), Sid_Admins, 393216, false, false},
            {id_of(2), Sid_Admins, 393216, false, false},
            {id_of(3), Sid_Admins, 917504, false, false},
            {f::Tables_Container_Id, Sid_Engine, 983294, true, false},
            {f::Tables_Container_Id, Sid_Admins, 393217, false, false},
            {f::Relationships_Container_Id, Sid_Engine, 983294, true, false},
            {f::Relationships_Container_Id, Sid_Admins, 393217, false, false},
            {f::Databases_Container_Id, Sid_Admins, 393216, false, false},
            {f::Database_Object_Id, Sid_Admins, 393230, false, false},
            {f::Database_Object_Id, Sid_Users, 14, false, false},
            {id_of(2), Sid_Users, 20, false, false},
            {id_of(3), Sid_Users, 20, false, false},
            {id_of(0), Sid_Users, 20, false, false},
            {f::Tables_Container_Id, Sid_Users, 1048319, true, false},
            {f::Relationships_Container_Id, Sid_Users, 1048575, true, false},
        };
        for (std::size_t pi = 0; pi < profile.plans.size(); ++pi) {
            const bool dropped = profile.plans[pi].dropped;
            aces.push_back({static_cast<std::int32_t>(plan_page(pi)), Sid_Engine, 1048319, false, dropped});
            aces.push_back({static_cast<std::int32_t>(plan_page(pi)), Sid_Users, 1048319, false, dropped});
        }
        for (std::uint32_t s = f::First_Synthetic_Id; s < synthetic; ++s) {
            aces.push_back({static_cast<std::int32_t>(s), Sid_Engine, 983294, false, false});
            aces.push_back({static_cast<std::int32_t>(s), Sid_Users, 1048575, false, false});
        }
        Image_Table table(out.image.tables[1], system[1]);
        Table_History h;
        h.image_table = 1;
        h.tdef_page = pages[1];
        for (const Ace& a : aces) {
            std::uint32_t row = table.Add({Int(a.object), Blob(a.sid), Int(a.acm), Flag(a.inheritable)}, !a.dropped);
            if (a.dropped) h.deleted.push_back(row);
            else ++h.live;
        }
        out.image.tables[1].definition = Build_Definition(system[1]);
        out.history.push_back(std::move(h));
    }
    out.image.tables[2].indexes.resize(system[2].indexes.size());  // no saved queries
    out.image.tables[2].definition = Build_Definition(system[2]);
    {
        Image_Table table(out.image.tables[3], system[3]);
        for (const Relation& r : profile.relations) {
            std::int32_t grbit = (r.cascade_update ? f::Relation_Cascade_Update : 0) |
                                 (r.cascade_delete ? f::Relation_Cascade_Delete : 0);
            table.Add({Text(r.name), Int(grbit), Int(1), Int(0), Text(profile.plans[r.child].layout.name),
                       Text(r.child_column), Text(profile.plans[r.parent].layout.name), Text(r.parent_column)},
                      true);
        }
        out.image.tables[3].definition = Build_Definition(system[3]);
    }
    return out;
}

// ---- The history pass ------------------------------------------------------------------

class Page_Editor {
public:
    Page_Editor(const std::filesystem::path& path, std::uint32_t key) : path_(path), key_(key) {
        file_.open(path, std::ios::in | std::ios::out | std::ios::binary);
        if (!file_) throw Error(Path_Text(path) + ": cannot reopen the new database to give it its history.");
        file_.seekg(0, std::ios::end);
        pages_ = static_cast<std::uint32_t>(static_cast<std::uint64_t>(file_.tellg()) / f::Page_Size);
    }
    std::uint32_t Pages() const { return pages_; }
    std::vector<std::uint8_t> Read(std::uint32_t page) {
        std::vector<std::uint8_t> b(f::Page_Size);
        file_.seekg(static_cast<std::streamoff>(page) * f::Page_Size);
        file_.read(reinterpret_cast<char*>(b.data()), f::Page_Size);
        if (!file_) throw Error(Path_Text(path_) + ": page " + std::to_string(page) + ": cannot be read back.");
        Apply_Page_Encoding(b, key_, page);
        return b;
    }
    void Write(std::uint32_t page, std::vector<std::uint8_t> b) {
        Apply_Page_Encoding(b, key_, page);
        file_.seekp(static_cast<std::streamoff>(page) * f::Page_Size);
        file_.write(reinterpret_cast<const char*>(b.data()), f::Page_Size);
        if (!file_) throw Error(Path_Text(path_) + ": page " + std::to_string(page) + ": cannot be written (disk full?).");
    }
    void Finish() {
        file_.flush();
        if (!file_) throw Error(Path_Text(path_) + ": cannot finish writing the database (disk full?).");
        file_.close();
    }
    [[noreturn]] void Fail(std::uint32_t page, const std::string& what) const {
        throw Error(Path_Text(path_) + ": page " + std::to_string(page) + ": " + what);
    }

private:
    std::filesystem::path path_;
    std::fstream file_;
    std::uint32_t key_;
    std::uint32_t pages_ = 0;
};

struct Slot_Place {
    std::uint32_t page;
    std::uint16_t slot;
};

std::uint32_t Apply_History(const std::filesystem::path& path, const Built& built) {
    std::vector<std::uint32_t> freed;
    auto dropped = [&](std::uint32_t tdef) {
        return std::find(built.dropped_tdef_pages.begin(), built.dropped_tdef_pages.end(), tdef) !=
               built.dropped_tdef_pages.end();
    };

    // Read through the engine's own reader first: every tdef page of the dropped tables
    // (continuations included) and the usage-map host pages only they used.
    std::set<std::uint32_t> dropped_tdefs;
    {
        Page_File file(path, built.image.password);
        std::set<std::uint32_t> kept_hosts, dropped_hosts;
        for (std::uint32_t t : built.tdef_pages) {
            const Table_Definition d = Read_Table_Definition(file, t);
            const bool gone = dropped(t);
            if (gone) dropped_tdefs.insert(d.pages.begin(), d.pages.end());
            std::set<std::uint32_t>& hosts = gone ? dropped_hosts : kept_hosts;
            hosts.insert(d.owned_map.page);
            hosts.insert(d.free_map.page);
            for (const Real_Index& i : d.real_indexes) hosts.insert(i.page_map.page);
            for (const Column& c : d.columns)
                if (c.has_page_maps) {
                    hosts.insert(c.owned_map.page);
                    hosts.insert(c.free_map.page);
                }
        }
        for (std::uint32_t h : dropped_hosts)
            if (h != 0 && kept_hosts.count(h) == 0) freed.push_back(h);
    }

    Page_Editor editor(path, built.image.database_key);
    std::map<std::uint32_t, std::size_t> by_tdef;  // tdef page -> history entry
    for (std::size_t i = 0; i < built.history.size(); ++i) by_tdef[built.history[i].tdef_page] = i;
    std::vector<std::vector<Slot_Place>> places(built.history.size());

    // One pass over the file: where each row landed, and the dropped tables' pages.
    for (std::uint32_t p = 2; p < editor.Pages(); ++p) {
        std::vector<std::uint8_t> b = editor.Read(p);
        const std::uint8_t type = b[0];
        const std::uint32_t owner = Get_U32(b, f::Data_Tdef_Page);
        if (type == f::Page_Type_Tdef) {
            if (dropped_tdefs.count(p) != 0) freed.push_back(p);
        } else if (type == f::Page_Type_Data) {
            if (dropped(owner)) {
                freed.push_back(p);
                continue;
            }
            auto it = by_tdef.find(owner);
            if (it == by_tdef.end()) continue;
            const std::uint16_t rows = Get_U16(b, f::Data_Row_Count);
            for (std::uint16_t s = 0; s < rows; ++s) places[it->second].push_back({p, s});
        } else if (type == f::Page_Type_Index_Node || type == f::Page_Type_Index_Leaf) {
            if (dropped(Get_U32(b, f::Index_Tdef_Page))) freed.push_back(p);
        }
    }

    // Slot edits grouped by page: (slot, flags to add, pointer to store).
    struct Edit {
        std::uint16_t slot;
        std::uint16_t flags;
        bool pointer;
        Row_Pointer target;
        std::size_t expected_length;
    };
    std::map<std::uint32_t, std::vector<Edit>> edits;
    for (std::size_t i = 0; i < built.history.size(); ++i) {
        const Table_History& h = built.history[i];
        const Table_Image& table = built.image.tables[h.image_table];
        if (places[i].size() != table.rows.size())
            editor.Fail(h.tdef_page, "table " + table.name + " has " + std::to_string(places[i].size()) +
                                         " stored rows where " + std::to_string(table.rows.size()) + " were written.");
        for (std::uint32_t r : h.deleted)
            edits[places[i][r].page].push_back({places[i][r].slot, static_cast<std::uint16_t>(f::Row_Flag_Deleted | f::Row_Flag_Overflow),
                                                false, {}, table.rows[r].bytes.size()});
        for (auto [header, target] : h.moved) {
            const Slot_Place t = places[i][target];
            edits[t.page].push_back({t.slot, f::Row_Flag_Deleted, false, {}, table.rows[target].bytes.size()});
            edits[places[i][header].page].push_back({places[i][header].slot, f::Row_Flag_Overflow, true,
                                                     Row_Pointer{t.page, static_cast<std::uint8_t>(t.slot)},
                                                     table.rows[header].bytes.size()});
        }
    }
    // The long values of deleted rows and of replaced row versions: their LVAL rows are
    // flagged deleted, their pages stay with the column.
    {
        std::uint32_t cached_page = 0;
        std::vector<std::uint8_t> cached;
        auto page_bytes = [&](std::uint32_t page) -> const std::vector<std::uint8_t>& {
            if (cached.empty() || cached_page != page) {
                cached = editor.Read(page);
                cached_page = page;
            }
            return cached;
        };
        auto row_start = [&](std::uint32_t page, std::uint16_t slot) -> std::size_t {
            const auto& b = page_bytes(page);
            if (slot >= Get_U16(b, f::Data_Row_Count)) editor.Fail(page, "a long value points at a missing row.");
            return Get_U16(b, f::Data_Row_Table + 2u * slot) & f::Row_Offset_Mask;
        };
        for (std::size_t i = 0; i < built.history.size(); ++i) {
            const Table_History& h = built.history[i];
            const Table_Image& table = built.image.tables[h.image_table];
            std::vector<std::uint32_t> freed_rows = h.deleted;
            for (auto [header, target] : h.moved) freed_rows.push_back(header);
            for (std::uint32_t r : freed_rows) {
                for (const Long_Value_Image& lv : table.rows[r].long_values) {
                    const Slot_Place place = places[i][r];
                    const std::size_t def = row_start(place.page, place.slot) + lv.definition_offset;
                    if (def + f::Long_Value_Definition_Size > f::Page_Size)
                        editor.Fail(place.page, "a long-value definition runs past the page.");
                    const std::uint8_t kind = page_bytes(place.page)[def + f::Long_Value_Length + 3] & 0xC0;
                    Row_Pointer at = Get_Row_Pointer(page_bytes(place.page), def + f::Long_Value_Pointer);
                    if (kind == f::Long_Value_Single_Row) {
                        edits[at.page].push_back({at.row, static_cast<std::uint16_t>(f::Row_Flag_Deleted | f::Row_Flag_Overflow), false, {}, 0});
                    } else if (kind == f::Long_Value_Chain) {
                        for (std::uint32_t hops = 0; at.page != 0; ++hops) {
                            if (hops > editor.Pages() || at.page >= editor.Pages())
                                editor.Fail(place.page, "a long-value chain is broken.");
                            edits[at.page].push_back({at.row, static_cast<std::uint16_t>(f::Row_Flag_Deleted | f::Row_Flag_Overflow), false, {}, 0});
                            const std::size_t start = row_start(at.page, at.row);
                            at = Get_Row_Pointer(page_bytes(at.page), start);
                        }
                    }
                }
            }
        }
    }

    for (auto& [page, list] : edits) {
        std::vector<std::uint8_t> b = editor.Read(page);
        for (const Edit& e : list) {
            const std::size_t at = f::Data_Row_Table + 2u * e.slot;
            const std::uint16_t raw = Get_U16(b, at);
            const std::size_t start = raw & f::Row_Offset_Mask;
            const std::size_t end = e.slot == 0 ? f::Page_Size : (Get_U16(b, at - 2) & f::Row_Offset_Mask);
            if (end < start || (e.expected_length != 0 && (end - start != e.expected_length || end - start < 4)))
                editor.Fail(page, "row " + std::to_string(e.slot) + " is not where the writer was expected to put it.");
            Put_U16(b, at, static_cast<std::uint16_t>(raw | e.flags));
            if (e.pointer) Put_Row_Pointer(b, start, e.target);
        }
        editor.Write(page, std::move(b));
    }

    // Row counts as a reader sees them.
    for (const Table_History& h : built.history) {
        std::vector<std::uint8_t> b = editor.Read(h.tdef_page);
        Put_U32(b, f::Tdef_Num_Rows, static_cast<std::uint32_t>(h.live));
        editor.Write(h.tdef_page, std::move(b));
    }

    // The dropped tables' pages become free in the global map; their bytes stay.
    if (!freed.empty()) {
        std::vector<std::uint8_t> map_page = editor.Read(f::Global_Map_Page);
        const std::size_t start = Get_U16(map_page, f::Data_Row_Table) & f::Row_Offset_Mask;
        std::span<std::uint8_t> row(map_page.data() + start, f::Page_Size - start);
        if (row.empty()) editor.Fail(f::Global_Map_Page, "the global usage map is missing.");
        std::map<std::uint32_t, std::vector<std::uint8_t>> bitmap_pages;
        for (std::uint32_t p : freed) {
            if (row[0] == f::Map_Type_Inline) {
                const std::uint32_t first = Get_U32(row, f::Map_Inline_Start);
                const std::size_t bit = p - first;
                if (p < first || f::Map_Inline_Bitmap + bit / 8 >= row.size())
                    editor.Fail(f::Global_Map_Page, "the global usage map does not cover page " + std::to_string(p) + ".");
                row[f::Map_Inline_Bitmap + bit / 8] |= static_cast<std::uint8_t>(1u << (bit % 8));
            } else {
                const std::size_t pointer = f::Map_Reference_Pointers + 4 * (p / f::Bitmap_Page_Bits);
                if (pointer + 4 > row.size()) editor.Fail(f::Global_Map_Page, "the global usage map is too short.");
                const std::uint32_t bitmap = Get_U32(row, pointer);
                if (bitmap == 0 || bitmap >= editor.Pages())
                    editor.Fail(f::Global_Map_Page, "the global usage map has no bitmap for page " + std::to_string(p) + ".");
                auto& bp = bitmap_pages[bitmap];
                if (bp.empty()) bp = editor.Read(bitmap);
                const std::size_t bit = p % f::Bitmap_Page_Bits;
                bp[f::Bitmap_Page_Data + bit / 8] |= static_cast<std::uint8_t>(1u << (bit % 8));
            }
        }
        editor.Write(f::Global_Map_Page, std::move(map_page));
        for (auto& [page, bytes] : bitmap_pages) editor.Write(page, std::move(bytes));
    }
    editor.Finish();
    return static_cast<std::uint32_t>(freed.size());
}

// One file of `main_rows` rows. Progress: making the rows in memory is the first 40%,
// writing the pages the next 55%, the history the rest.
Generate_Result Generate_Once(const Generate_Options& options, std::uint64_t main_rows,
                              const std::filesystem::path& path) {
    auto report = [&](double share) {
        if (options.progress) options.progress(share);
    };
    report(0.0);
    Built built = Build(options, main_rows);
    report(0.4);
    Write_Result written = Write_Database(built.image, path, [&](double share) { report(0.4 + 0.55 * share); }, true,
                                          options.files ? *options.files : Host_Files());
    Generate_Result result;
    try {
        result.freed_pages = Apply_History(path, built);
    } catch (...) {
        Remove_Quietly(path);
        throw;
    }
    report(1.0);
    result.pages = written.pages;
    result.bytes = static_cast<std::uint64_t>(written.pages) * f::Page_Size;
    result.password = built.image.password;
    result.database_key = built.image.database_key;
    result.tables = std::move(built.tables);
    for (const auto& t : result.tables) result.live_bytes += t.live_bytes;
    return result;
}

}  // namespace

std::vector<std::string> Generator_Profiles() { return {"every-type", "instrument-data", "instrument-history"}; }

Generate_Result Generate_Database(const Generate_Options& options, const std::filesystem::path& path) {
    Make_Profile(options.profile, 1);  // refuses unknown profiles before any work
    if (!(options.deleted_fraction >= 0.0 && options.deleted_fraction < 0.95))
        throw Error("The deleted fraction must be at least 0 and below 0.95.");
    if (options.size_mb < 0 || options.size_mb > 2047)
        throw Error("The size must be between 0 and 2047 MB (Jet 4.0 files end at 2 GB).");
    std::error_code ec;
    if (std::filesystem::exists(path, ec))
        throw Error(Path_Text(path) + ": the file exists already; choose a new name.");
    if (options.size_mb <= 0) return Generate_Once(options, options.rows == 0 ? 1000 : options.rows, path);

    // By size: measure two small files, assume size grows linearly with the rows, then
    // correct once or twice on the real thing.
    const double target = options.size_mb * 1024.0 * 1024.0;
    Generate_Options quiet = options;
    quiet.progress = {};
    const std::filesystem::path probe = path.string() + ".sizing";
    auto measure = [&](std::uint64_t rows) {
        Remove_Quietly(probe);
        Generate_Result r = Generate_Once(quiet, rows, probe);
        Remove_Quietly(probe);
        return static_cast<double>(r.bytes);
    };
    const std::uint64_t r1 = 200, r2 = 2000;
    const double s1 = measure(r1), s2 = measure(r2);
    const double per_row = std::max(1.0, (s2 - s1) / static_cast<double>(r2 - r1));
    const double base = s1 - per_row * static_cast<double>(r1);
    auto rows_for = [&](double bytes) {
        return static_cast<std::uint64_t>(std::max(1.0, std::round((bytes - base) / per_row)));
    };
    std::uint64_t rows = rows_for(target);
    // Progress never goes back: the first try fills 70% of it, each further try part of the rest.
    double shown = 0, start = 0, width = 0.7;
    Generate_Options attempt_options = options;
    if (options.progress)
        attempt_options.progress = [&](double share) {
            shown = std::max(shown, start + width * share);
            options.progress(shown);
        };
    for (int attempt = 0;; ++attempt) {
        Generate_Result r = Generate_Once(attempt_options, rows, path);
        start = shown;
        width = (0.98 - start) / 2;
        const double size = static_cast<double>(r.bytes);
        if (std::fabs(size - target) <= 0.05 * target || attempt == 2) {
            if (options.progress) options.progress(1.0);
            return r;
        }
        Remove_Quietly(path);
        // Scale the rows' share of the size.
        const double row_bytes = std::max(1.0, size - base);
        rows = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(std::round(
                                              static_cast<double>(rows) * std::max(1.0, target - base) / row_bytes)));
    }
}

}  // namespace kelbrook::jet
