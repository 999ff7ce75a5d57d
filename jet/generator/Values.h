// The generator's made-up values: a seeded random source of our own (the same seed gives
// the same values on every platform), the words, names and units the profiles draw from,
// and the text, blob and date makers built on them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "jet/row/Row_Builder.h"

namespace kelbrook::jet::generator {

// splitmix64: small, fast, and the whole state is one word, so a table's rows can be made
// again from a saved copy.
class Rng {
public:
    explicit Rng(std::uint64_t seed) : state_(seed) {}
    std::uint64_t Next() {
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
inline const char* const Words[] = {
    "alpha", "beta",  "gamma",  "delta",  "sample", "reagent", "buffer", "blank", "control", "standard",
    "serum", "plasma", "urine", "water",  "batch",  "lot",     "check",  "daily", "weekly",  "level",
    "high",  "low",   "normal", "repeat", "manual", "auto",    "retest", "diluted"};
inline const char* const Analytes[] = {"Glucose",     "Sodium",    "Potassium",  "Chloride",      "Calcium", "Urea",
                                       "Albumin",     "Lactate",   "Magnesium",  "Phosphate",     "Cholesterol",
                                       "Iron",        "Bilirubin", "Creatinine", "Triglycerides", "Amylase"};
inline const char* const Units[] = {"mmol/L", "mg/dL", "g/L", "U/L", "umol/L", "%"};
inline const char* const Matrices[] = {"Serum", "Plasma", "Urine", "Whole blood", "CSF", "Water"};
inline const char* const People[] = {"Anna Berg",   "Oskar Lind",    "Maria Holm", "Peter Strand",
                                     "Lena Dahl",   "Erik Nyberg",   "Karin Sjoberg", "Jonas Ek",
                                     "Sara Lund",   "Ola Vik",       "Ingrid Falk", "Per Moller"};
inline const char* const Actions[] = {"Login",         "Logout",          "Result accepted",     "Result rejected",
                                      "Sample registered", "Calibration started", "Method edited", "Export",
                                      "Print report",  "Settings changed"};
inline const char* const Instruments[] = {"Analyser 1", "Analyser 2", "Analyser 3", "Reference unit"};
inline const char* const Methods[] = {"Glucose HK", "Sodium ISE", "Potassium ISE", "Chloride ISE",
                                      "Calcium Arsenaso", "Urea UV", "Albumin BCG", "Lactate Oxidase"};
inline const char* const Event_Texts[] = {"Run started",          "Cuvette temperature stable",
                                          "Reagent loaded",       "Sample aspirated",
                                          "Measurement done",     "Wash cycle",
                                          "Level sensor: low reagent volume", "Run finished",
                                          "Lamp check OK",        "Calibration curve accepted"};

// Words from the list, cut to exactly `target_bytes`.
std::string Sentence(Rng& rng, std::size_t target_bytes);

// A memo/OLE length: mostly small (kept in the row), some on one long-value page, a few
// spread over several pages.
std::size_t Long_Value_Size(Rng& rng);

Byte_Vector Random_Bytes(Rng& rng, std::size_t size);

// A binary blob that looks like a stored measurement curve (header + samples). Integer
// arithmetic only, so every platform makes the same bytes.
Byte_Vector Curve(Rng& rng, std::size_t size);

inline Field_Value Text(std::string s) { return Field_Value{std::move(s)}; }
inline Field_Value Int(std::int64_t v) { return Field_Value{v}; }
inline Field_Value Real(double v) { return Field_Value{v}; }
inline Field_Value Flag(bool v) { return Field_Value{v}; }
inline Field_Value Blob(Byte_Vector b) { return Field_Value{std::move(b)}; }
inline const Field_Value Null{};

// The first day of the instrument's life, and when the database was made.
double Epoch();
double Created();

// A timestamp `step` events into the instrument's life at `per_day` events a day, with
// up to ten minutes of jitter.
double Stamp(std::uint64_t step, double per_day, Rng& rng);

}  // namespace kelbrook::jet::generator
