#include "jet/generator/Profiles.h"

#include <algorithm>

#include "jet/util/Error.h"

namespace kelbrook::jet::generator {

namespace {

namespace f = format;

const std::string Default_Data_Password = "wexo4m";

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

// A table named `name` with `columns`, the first an autonumber primary key.
Table_Layout Counted_Table(std::string name, std::vector<Column_Layout> columns) {
    Table_Layout t;
    t.name = std::move(name);
    t.columns = std::move(columns);
    t.columns[0].auto_number = true;
    t.Lay_Out();
    Add_Primary_Key(t, t.columns[0].name);
    return t;
}

std::size_t Table_Index(const Profile& p, const std::string& name) {
    for (std::size_t i = 0; i < p.tables.size(); ++i)
        if (p.tables[i].layout.name == name) return i;
    throw Error("generator: no table " + name);
}

// Live row counts follow the main table's.
std::uint64_t Share(std::uint64_t main, std::uint64_t divisor, std::uint64_t minimum) {
    return std::max<std::uint64_t>(minimum, main / divisor);
}

std::int64_t Signed(std::uint64_t id) { return static_cast<std::int64_t>(id); }

// A table that an import once filled and a user later deleted.
Table_Recipe Dropped_Import_Table(std::uint64_t main) {
    Table_Recipe p;
    p.layout.name = "ImportTemp";
    p.layout.columns = {Col("LineNo", f::Type_Int32), Col("RawLine", f::Type_Text, 200), Col("Parsed", f::Type_Double),
                        Col("ImportedAt", f::Type_Datetime)};
    p.layout.Lay_Out();
    Add_Primary_Key(p.layout, "LineNo");
    p.live = Share(main, 10, 300);
    p.history = false;
    p.dropped = true;
    p.make = [](std::uint64_t id, int, Rng& rng, const Context&) {
        return std::vector<Field_Value>{Int(Signed(id)), Text("IMPORT;" + std::to_string(id) + ";" + Sentence(rng, 40)),
                                        Real(static_cast<double>(rng.Below(100000)) / 100.0),
                                        Real(Stamp(id, 5000, rng))};
    };
    return p;
}

// ---- every-type ---------------------------------------------------------------------------

Table_Recipe Categories(std::uint64_t main) {
    Table_Recipe p;
    p.layout = Counted_Table("Categories", {Col("CategoryId", f::Type_Int32), Col("CategoryName", f::Type_Text, 50),
                                            Col("Notes", f::Type_Memo)});
    Add_Index(p.layout, "CategoryName", {"CategoryName"}, f::Index_Flag_Unique);
    p.live = Share(main, 100, 6);
    p.history = false;
    p.referenced = true;
    p.make = [](std::uint64_t id, int, Rng& rng, const Context&) {
        return std::vector<Field_Value>{Int(Signed(id)),
                                        Text(std::string("Category ") + rng.Pick(Words) + " " + std::to_string(id)),
                                        rng.Chance(0.3) ? Null : Text(Sentence(rng, Long_Value_Size(rng)))};
    };
    return p;
}

// One row of AllTypes: every common type, each column null now and then.
std::vector<Field_Value> All_Types_Row(std::uint64_t id, int version, Rng& rng, const Context& ctx) {
    auto maybe = [&](Field_Value v) { return rng.Chance(0.08) ? Null : std::move(v); };
    std::vector<Field_Value> v;
    v.push_back(Int(Signed(id)));
    v.push_back(rng.Chance(0.05) ? Null : Flag(rng.Chance(0.5)));
    v.push_back(maybe(Int(rng.Between(0, 255))));
    v.push_back(maybe(Int(rng.Between(-32768, 32767))));
    v.push_back(Int(Signed(id) * 7 + 1000));  // unique
    v.push_back(maybe(Int(rng.Between(-5000000000LL, 90000000000LL))));
    v.push_back(maybe(Real(static_cast<double>(rng.Between(-100000, 100000)) / 64.0)));
    v.push_back(maybe(Real(static_cast<double>(rng.Between(-1000000000, 1000000000)) / 1024.0)));
    v.push_back(maybe(Real(Stamp(id, 400, rng))));
    v.push_back(maybe(Blob(Random_Bytes(rng, static_cast<std::size_t>(rng.Between(1, 32))))));
    v.push_back(maybe(Text(std::string(rng.Pick(Words)) + " " + rng.Pick(Words) + " " + std::to_string(rng.Below(1000)))));
    const std::size_t memo = Long_Value_Size(rng) + (version > 0 ? 40 : 0);
    v.push_back(maybe(Text(Sentence(rng, memo))));
    v.push_back(maybe(Blob(Random_Bytes(rng, Long_Value_Size(rng)))));
    v.push_back(maybe(Blob(Random_Bytes(rng, 16))));
    v.push_back(maybe(Int(rng.Between(-99999999999LL, 99999999999LL))));
    const std::uint32_t parent = ctx.Parent_Of(0, rng);
    v.push_back(parent == 0 ? Null : Int(parent));
    v.push_back(rng.Chance(0.4) ? Null
                                : Text("Note #" + std::to_string(id) + ": " +
                                       Sentence(rng, static_cast<std::size_t>(rng.Between(5, 120))) +
                                       (version > 0 ? " (edited, see log)" : "")));
    return v;
}

Table_Recipe All_Types(std::uint64_t main) {
    Table_Recipe p;
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
    p.make = All_Types_Row;
    return p;
}

Profile Every_Type_Profile(std::uint64_t main) {
    Profile pr;
    pr.tables.push_back(Categories(main));
    pr.tables.push_back(All_Types(main));
    pr.tables.push_back(Dropped_Import_Table(main));
    pr.relations.push_back({"CategoriesAllTypes", Table_Index(pr, "AllTypes"), "CategoryId",
                            Table_Index(pr, "Categories"), "CategoryId", true, false});
    return pr;
}

// ---- instrument-data ------------------------------------------------------------------------

Table_Recipe Operators() {
    Table_Recipe p;
    p.layout = Counted_Table("Operators", {Col("OperatorId", f::Type_Int32), Col("LoginName", f::Type_Text, 30),
                                           Col("FullName", f::Type_Text, 80), Col("Active", f::Type_Boolean)});
    Add_Index(p.layout, "LoginName", {"LoginName"}, f::Index_Flag_Unique);
    p.live = std::size(People);
    p.history = false;
    p.referenced = true;
    p.make = [](std::uint64_t id, int, Rng& rng, const Context&) {
        const std::string name = People[(id - 1) % std::size(People)];
        const std::string login = name.substr(0, name.find(' ')) + std::to_string(id);
        return std::vector<Field_Value>{Int(Signed(id)), Text(login), Text(name), Flag(rng.Chance(0.8))};
    };
    return p;
}

Table_Recipe Samples(std::uint64_t main) {
    Table_Recipe p;
    p.layout = Counted_Table("Samples", {Col("SampleId", f::Type_Int32), Col("SampleName", f::Type_Text, 40),
                                         Col("OperatorId", f::Type_Int32), Col("Registered", f::Type_Datetime),
                                         Col("Matrix", f::Type_Text, 30), Col("Priority", f::Type_Byte),
                                         Col("Comment", f::Type_Memo)});
    Add_Index(p.layout, "SampleName", {"SampleName"}, f::Index_Flag_Unique);
    Add_Index(p.layout, "Registered", {"Registered"});
    p.live = Share(main, 6, 10);
    p.referenced = true;
    p.make = [](std::uint64_t id, int version, Rng& rng, const Context& ctx) {
        return std::vector<Field_Value>{
            Int(Signed(id)), Text("S" + std::to_string(100000 + id)), Int(ctx.Parent_Of(0, rng)),
            Real(Stamp(id, 60, rng)), Text(rng.Pick(Matrices)), Int(rng.Between(1, 3)),
            (version == 0 && rng.Chance(0.6)) ? Null : Text(Sentence(rng, Long_Value_Size(rng) + 30u * version))};
    };
    return p;
}

std::vector<Field_Value> Result_Row(std::uint64_t id, int version, Rng& rng, const Context& ctx) {
    const std::size_t analyte = rng.Below(std::size(Analytes));
    std::size_t curve = rng.Chance(0.5) ? 0 : static_cast<std::size_t>(rng.Between(200, 3000));
    if (rng.Chance(0.03)) curve = static_cast<std::size_t>(rng.Between(5000, 12000));
    return std::vector<Field_Value>{
        Int(Signed(id)), Int(ctx.Parent_Of(1, rng)), Real(Stamp(id, 360, rng)), Text(Analytes[analyte]),
        Real(static_cast<double>(rng.Between(1, 2000000)) / 1000.0), Text(Units[analyte % std::size(Units)]),
        Real(rng.Chance(0.9) ? 1.0 : 2.0 * static_cast<double>(rng.Between(1, 10))), Int(rng.Between(0, 15)),
        Flag(version > 0 || rng.Chance(0.9)), curve == 0 ? Null : Blob(Curve(rng, curve)),
        (version == 0 && rng.Chance(0.85)) ? Null
                                           : Text("Checked by " + std::string(rng.Pick(People)) + ". " +
                                                  Sentence(rng, static_cast<std::size_t>(rng.Between(10, 90))))};
}

Table_Recipe Results(std::uint64_t main) {
    Table_Recipe p;
    p.layout = Counted_Table("Results", {Col("ResultId", f::Type_Int32), Col("SampleId", f::Type_Int32),
                                         Col("Measured", f::Type_Datetime), Col("Analyte", f::Type_Text, 40),
                                         Col("Reading", f::Type_Double), Col("Unit", f::Type_Text, 16),
                                         Col("Dilution", f::Type_Float), Col("ResultFlags", f::Type_Int16),
                                         Col("Accepted", f::Type_Boolean), Col("Curve", f::Type_Ole),
                                         Col("Note", f::Type_Text, 255)});
    Add_Index(p.layout, "SampleMeasured", {"SampleId", "Measured"});
    Add_Index(p.layout, "Analyte", {"Analyte"});
    p.live = main;
    p.make = Result_Row;
    return p;
}

Table_Recipe Audit_Trail(std::uint64_t main) {
    Table_Recipe p;
    p.layout = Counted_Table("AuditTrail", {Col("EntryId", f::Type_Int32), Col("Stamp", f::Type_Datetime),
                                            Col("UserName", f::Type_Text, 30), Col("Action", f::Type_Text, 40),
                                            Col("Details", f::Type_Memo)});
    Add_Index(p.layout, "Stamp", {"Stamp"});
    p.live = Share(main, 3, 20);
    p.make = [](std::uint64_t id, int, Rng& rng, const Context&) {
        return std::vector<Field_Value>{Int(Signed(id)), Real(Stamp(id, 120, rng)), Text(rng.Pick(People)),
                                        Text(rng.Pick(Actions)),
                                        rng.Chance(0.5) ? Null : Text(Sentence(rng, Long_Value_Size(rng)))};
    };
    return p;
}

Profile Instrument_Data_Profile(std::uint64_t main) {
    Profile pr;
    pr.default_password = Default_Data_Password;
    pr.tables.push_back(Operators());
    pr.tables.push_back(Samples(main));
    pr.tables.push_back(Results(main));
    pr.tables.push_back(Audit_Trail(main));
    pr.tables.push_back(Dropped_Import_Table(main));
    pr.relations.push_back({"OperatorsSamples", Table_Index(pr, "Samples"), "OperatorId", Table_Index(pr, "Operators"),
                            "OperatorId", false, false});
    pr.relations.push_back({"SamplesResults", Table_Index(pr, "Results"), "SampleId", Table_Index(pr, "Samples"),
                            "SampleId", true, true});
    return pr;
}

// ---- instrument-history ---------------------------------------------------------------------

Table_Recipe Method_Table() {
    Table_Recipe p;
    p.layout = Counted_Table("Methods", {Col("MethodId", f::Type_Int32), Col("MethodName", f::Type_Text, 60),
                                         Col("Revision", f::Type_Int16), Col("Parameters", f::Type_Memo)});
    Add_Index(p.layout, "MethodName", {"MethodName"}, f::Index_Flag_Unique);
    p.live = std::size(Methods);
    p.history = false;
    p.referenced = true;
    p.make = [](std::uint64_t id, int, Rng& rng, const Context&) {
        return std::vector<Field_Value>{Int(Signed(id)), Text(Methods[(id - 1) % std::size(Methods)]),
                                        Int(rng.Between(1, 12)),
                                        Text("[Method]\r\nWavelength=" + std::to_string(rng.Between(340, 700)) +
                                             "\r\nIncubation=" + std::to_string(rng.Between(30, 600)) + "\r\n" +
                                             Sentence(rng, static_cast<std::size_t>(rng.Between(20, 3000))))};
    };
    return p;
}

Table_Recipe Runs(std::uint64_t main) {
    Table_Recipe p;
    p.layout = Counted_Table("Runs", {Col("RunId", f::Type_Int32), Col("MethodId", f::Type_Int32),
                                      Col("Started", f::Type_Datetime), Col("Finished", f::Type_Datetime),
                                      Col("Instrument", f::Type_Text, 30), Col("RunStatus", f::Type_Byte)});
    Add_Index(p.layout, "Started", {"Started"});
    p.live = Share(main, 20, 5);
    p.referenced = true;
    p.make = [](std::uint64_t id, int, Rng& rng, const Context& ctx) {
        const double start = Stamp(id, 24, rng);
        return std::vector<Field_Value>{
            Int(Signed(id)), Int(ctx.Parent_Of(0, rng)), Real(start),
            rng.Chance(0.05) ? Null : Real(start + static_cast<double>(rng.Between(600, 7200)) / 86400.0),
            Text(rng.Pick(Instruments)), Int(rng.Between(0, 4))};
    };
    return p;
}

Table_Recipe Run_Events(std::uint64_t main) {
    Table_Recipe p;
    p.layout = Counted_Table("RunEvents", {Col("EventId", f::Type_Int32), Col("RunId", f::Type_Int32),
                                           Col("Stamp", f::Type_Datetime), Col("Severity", f::Type_Int16),
                                           Col("Message", f::Type_Text, 200), Col("Details", f::Type_Memo)});
    Add_Index(p.layout, "RunStamp", {"RunId", "Stamp"});
    p.live = main;
    p.make = [](std::uint64_t id, int version, Rng& rng, const Context& ctx) {
        return std::vector<Field_Value>{Int(Signed(id)), Int(ctx.Parent_Of(1, rng)), Real(Stamp(id, 480, rng)),
                                        Int(rng.Between(0, 3)),
                                        Text(std::string(rng.Pick(Event_Texts)) + (version > 0 ? " (amended)" : "")),
                                        rng.Chance(0.6) ? Null : Text(Sentence(rng, Long_Value_Size(rng)))};
    };
    return p;
}

Table_Recipe Calibrations(std::uint64_t main) {
    Table_Recipe p;
    p.layout = Counted_Table("Calibrations", {Col("CalibrationId", f::Type_Int32), Col("Analyte", f::Type_Text, 40),
                                              Col("Slope", f::Type_Double), Col("Intercept", f::Type_Double),
                                              Col("Stamp", f::Type_Datetime), Col("Valid", f::Type_Boolean),
                                              Col("RawData", f::Type_Ole)});
    Add_Index(p.layout, "AnalyteStamp", {"Analyte", "Stamp"});
    p.live = Share(main, 50, 10);
    p.make = [](std::uint64_t id, int, Rng& rng, const Context&) {
        return std::vector<Field_Value>{Int(Signed(id)), Text(rng.Pick(Analytes)),
                                        Real(static_cast<double>(rng.Between(500, 1500)) / 1000.0),
                                        Real(static_cast<double>(rng.Between(-500, 500)) / 10000.0),
                                        Real(Stamp(id, 3, rng)), Flag(rng.Chance(0.9)),
                                        Blob(Curve(rng, static_cast<std::size_t>(rng.Between(40, 6000))))};
    };
    return p;
}

Profile Instrument_History_Profile(std::uint64_t main) {
    Profile pr;
    pr.tables.push_back(Method_Table());
    pr.tables.push_back(Runs(main));
    pr.tables.push_back(Run_Events(main));
    pr.tables.push_back(Calibrations(main));
    pr.tables.push_back(Dropped_Import_Table(main));
    pr.relations.push_back({"MethodsRuns", Table_Index(pr, "Runs"), "MethodId", Table_Index(pr, "Methods"), "MethodId",
                            false, false});
    pr.relations.push_back({"RunsRunEvents", Table_Index(pr, "RunEvents"), "RunId", Table_Index(pr, "Runs"), "RunId",
                            true, true});
    return pr;
}

}  // namespace

std::uint32_t Context::Parent_Of(std::size_t table, Rng& rng) const {
    if (table >= kept_.size() || !kept_[table] || !complete_[table])
        throw Error("Internal error in the generator: rows refer to a table not made before them or not kept.");
    const auto& ids = live_ids_[table];
    if (ids.empty()) return 0;
    const std::uint64_t n = ids.size();
    const std::uint64_t back = std::min<std::uint64_t>(n - 1, rng.Below(std::max<std::uint64_t>(1, n / 4 + 1)));
    return ids[n - 1 - back];
}

std::vector<std::string> Profile_Names() { return {"every-type", "instrument-data", "instrument-history"}; }

Profile Make_Profile(const std::string& name, std::uint64_t main) {
    if (name == "every-type") return Every_Type_Profile(main);
    if (name == "instrument-data") return Instrument_Data_Profile(main);
    if (name == "instrument-history") return Instrument_History_Profile(main);
    std::string known;
    for (const auto& p : Profile_Names()) known += (known.empty() ? "" : ", ") + p;
    throw Error("Unknown profile \"" + name + "\"; the profiles are " + known + ".");
}

}  // namespace kelbrook::jet::generator
