#pragma once

// The one door from the analysis code to the summary's row format: its header, its
// shortest round-trip numbers and its row record.
#include "batch/summary.hpp"
