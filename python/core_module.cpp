// The C++ side of the Python module: texts from the library, with the GIL released while the
// model runs; the pandas side (hostswitch/__init__.py) turns them into frames.
#include <pybind11/functional.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <filesystem>
#include <optional>
#include <string>

#include "analysis/csv_input.hpp"
#include "analysis/stats_table.hpp"
#include "base/io_failure.hpp"
#include "batch/design.hpp"
#include "batch/library_api.hpp"
#include "batch/manifest.hpp"
#include "batch/ordered_csv.hpp"
#include "console/parameter_values.hpp"
#include "hostswitch_version.hpp"
#include "reporting/results_file.hpp"

namespace py = pybind11;
using namespace hostswitch;

namespace {

py::dict run_texts(const NamedValueTexts& given, std::optional<std::string> seed_text) {
  const SimulationParameters parameters = single_parameters_of(given);
  const std::int32_t seed = seed_text ? parse_integer("--seed", *seed_text) : seed_from_clock();
  ReplicateTexts texts;
  {
    const py::gil_scoped_release unlocked;
    texts = run_replicate_texts(parameters, seed, true, true);
  }
  py::dict run;
  run["extinct"] = texts.row.extinct;
  run["generations_run"] = texts.row.generations_run;
  run["switch_generations"] = texts.row.switch_generations;
  run["seed"] = seed;
  run["results"] = py::bytes(texts.results);
  run["trajectory"] = texts.trajectory;
  run["summary"] = texts.summary;
  return run;
}

// Ctrl-C reaches Python's handler, which only notes it; the sweep looks at that note on every
// progress call, on this thread, and stops keeping the complete rows.
py::tuple sweep_texts_of(const NamedValueTexts& given, const std::string& replicates,
                         std::optional<std::string> seed_text, std::optional<std::string> jobs,
                         bool trajectories, std::optional<std::string> summary, bool resume,
                         std::optional<py::function> progress, std::optional<std::string> design) {
  LibrarySweep sweep;
  if (design) {
    sweep.lists = parameter_lists_of({});
    sweep.design = path_argument(*design, "design");
  } else {
    sweep.lists = parameter_lists_of(given);
    sweep.grid = checked_grid(sweep.lists);
  }
  sweep.replicates = parse_at_least("--replicates", replicates, 1);
  sweep.base_seed = seed_text ? parse_integer("--seed", *seed_text) : seed_from_clock();
  sweep.jobs = parse_jobs(jobs.value_or(""));
  sweep.trajectories = trajectories;
  if (summary) sweep.summary = path_argument(*summary, "summary");
  sweep.resume = resume;
  std::atomic<bool> stop{false};
  std::optional<py::error_already_set> raised;
  sweep.stop = &stop;
  sweep.progress = [&](std::size_t done, std::size_t total) {
    const py::gil_scoped_acquire locked;
    if (stop.load()) return;
    try {
      if (PyErr_CheckSignals() != 0) throw py::error_already_set();
      if (progress) (*progress)(done, total);
    } catch (py::error_already_set& error) {
      raised.emplace(std::move(error));
      stop = true;
    }
  };
  SweepTexts texts;
  {
    const py::gil_scoped_release unlocked;
    texts = sweep_texts(sweep);
  }
  // A progress bar that failed is the caller's error; an interrupt is reported with the rows.
  if (raised && !raised->matches(PyExc_KeyboardInterrupt)) throw std::move(*raised);
  return py::make_tuple(texts.summary, texts.trajectories, texts.interrupted || raised.has_value(),
                        texts.message, sweep.base_seed);
}

}  // namespace

PYBIND11_MODULE(_core, module) {
  module.doc() = "The hostswitch library's runs and sweeps, as the command line writes them.";
  py::register_exception_translator([](std::exception_ptr pointer) {
    try {
      if (pointer) std::rethrow_exception(pointer);
    } catch (const IoFailure& error) {
      PyErr_SetString(PyExc_OSError, error.what());
    } catch (const ResultsFileError& error) {
      PyErr_SetString(PyExc_OSError, error.what());
    } catch (const FileBusy& error) {
      PyErr_SetString(PyExc_OSError, error.what());
    } catch (const DesignFileError& error) {
      PyErr_SetString(PyExc_ValueError, ("design: " + std::string(error.what())).c_str());
    } catch (const UsageError& error) {
      PyErr_SetString(PyExc_ValueError, error.what());
    } catch (const ReportInputError& error) {
      PyErr_SetString(PyExc_ValueError, error.what());
    }
  });
  module.def("run", &run_texts, py::arg("params"), py::arg("seed"));
  module.def("sweep", &sweep_texts_of, py::arg("params"), py::arg("replicates"), py::arg("seed"),
             py::arg("jobs"), py::arg("trajectories"), py::arg("summary"), py::arg("resume"),
             py::arg("progress"), py::arg("design") = std::nullopt);
  module.def("stats_table", [](const std::string& summary) {
    const std::filesystem::path path = path_argument(summary, "summary");
    const py::gil_scoped_release unlocked;
    return stats_table_text(path);
  });
  module.def("write_file", [](const std::string& path, const py::bytes& bytes) {
    const std::string text = bytes;
    write_text_file(path_argument(path, "path"), text);
  });
  module.def("read_file", [](const std::string& path) {
    return py::bytes(read_text_file(path_argument(path, "path")));
  });
  module.def("parameter_names", [] {
    return std::vector<std::string>(kParameterNames.begin(), kParameterNames.end());
  });
  module.attr("__version__") = HOSTSWITCH_VERSION;
}
