// The C++ side of the Python module: texts from the library, with the GIL released while the
// model runs; the pandas side (hostswitch/__init__.py) turns them into frames.
#include <pybind11/functional.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <filesystem>
#include <optional>
#include <string>

#include "api/study.hpp"
#include "hostswitch_version.hpp"

namespace py = pybind11;
using namespace hostswitch;

namespace {

py::dict run_texts(const NamedValueTexts& given, std::optional<std::string> seed_text) {
  RunTexts texts;
  {
    const py::gil_scoped_release unlocked;
    texts = run_request(given, seed_text);
  }
  py::dict run;
  run["extinct"] = texts.row.extinct;
  run["generations_run"] = texts.row.generations_run;
  run["switch_generations"] = texts.row.switch_generations;
  run["seed"] = texts.seed;
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
  LibrarySweep sweep = library_sweep_of(
      SweepArguments{given, replicates, seed_text, jobs, summary, design, trajectories, resume});
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
    } catch (const std::exception& error) {
      switch (failure_kind(error)) {
        case FailureKind::refusal:
          PyErr_SetString(PyExc_ValueError, failure_message(error).c_str());
          return;
        case FailureKind::io:
          PyErr_SetString(PyExc_OSError, failure_message(error).c_str());
          return;
        case FailureKind::other:
          throw;  // to pybind11's own translation
      }
    }
  });
  module.def("run", &run_texts, py::arg("params"), py::arg("seed"));
  module.def("sweep", &sweep_texts_of, py::arg("params"), py::arg("replicates"), py::arg("seed"),
             py::arg("jobs"), py::arg("trajectories"), py::arg("summary"), py::arg("resume"),
             py::arg("progress"), py::arg("design") = std::nullopt);
  module.def("design", [](const std::string& kind, const NamedValueTexts& given,
                          std::vector<std::string> ranges, std::string samples, std::string seed,
                          std::string maximin, std::string trajectories, std::string levels) {
    DesignRequest request = design_request_of(kind, given);
    request.ranges = std::move(ranges);
    request.samples = std::move(samples);
    request.seed = std::move(seed);
    request.maximin = std::move(maximin);
    request.trajectories = std::move(trajectories);
    request.levels = std::move(levels);
    const py::gil_scoped_release unlocked;
    return design_text(request);
  });
  module.def("stats_table",
             [](const std::string& summary, bool text, const std::vector<std::string>& at) {
               const SummaryInput input{summary, text, generations_of(at)};
               const py::gil_scoped_release unlocked;
               return stats_text(input);
             });
  module.def("sensitivity_table",
             [](const std::string& summary, bool text, const std::vector<std::string>& at) {
               const SummaryInput input{summary, text, generations_of(at)};
               const py::gil_scoped_release unlocked;
               return sensitivity_text(input);
             });
  module.def("boxes_table",
             [](const std::string& summary, bool text, const std::string& where, double density) {
               const py::gil_scoped_release unlocked;
               return boxes_text(SummaryInput{summary, text, {}}, where, density);
             });
  module.def("plot", [](const std::string& results, std::optional<std::string> picture,
                        std::optional<std::string> title, std::optional<std::string> summary,
                        std::optional<std::string> row, bool log_population) {
    PlotRequest request{path_argument(results, "results"), std::move(title), std::nullopt,
                        std::move(row), log_population};
    if (summary) request.summary = path_argument(*summary, "summary");
    const py::gil_scoped_release unlocked;
    if (!picture) return plot_svg(request);
    plot_file(request, path_argument(*picture, "output"));
    return std::string();
  });
  module.def("number_texts", &number_texts);
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
