#pragma once

#include <cstdint>
#include <span>

namespace hostswitch {

// Fixed-layout fields of the results file. Each writes exactly `width` characters at `out`
// and returns the position after them.

// A real with 3 decimals, correctly rounded from the exact binary value, ties to even;
// never "-0.000"; asterisks across the field when it does not fit; " NaN", " Infinity",
// " -Infinity" left in the field and padded with blanks.
char* put_fixed3(char* out, double value, int width);

// An integer right-justified; asterisks across the field when it does not fit.
char* put_integer(char* out, std::int64_t value, int width);

inline constexpr int kClassRecordWidth = 77;  // without the line end

// One class record, CR LF ended: n_g, centre, count, r_phe, rl_phe, n_HS.
char* put_class_record(char* out, std::int32_t n_g, double centre, std::int32_t count, double r_phe,
                       double rl_phe, std::int32_t n_HS);

inline constexpr int kClassRecordBytes = kClassRecordWidth + 2;

}  // namespace hostswitch
