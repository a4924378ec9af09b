# Runs and sweeps of the C++ library as data frames equal to read.csv of the command line's
# files. Values reach the command line's own parser as its flags would take them.

.parameter_names <- c("n_pop", "birth_rate", "capacity", "emig_rate", "sdr", "sdv",
                      "max_dist", "n_gen")

.value_texts <- function(values, name) {
  if (is.character(values)) return(values)
  if (is.numeric(values)) return(sprintf("%.17g", as.double(values)))  # reads back exactly
  stop(sprintf("%s: expected numbers, got %s", name, class(values)[1]), call. = FALSE)
}

.named_texts <- function(params) {
  if (length(params) == 0) return(list())
  if (is.null(names(params)) || any(names(params) == ""))
    stop("every parameter needs a name (n_pop, birth_rate, ...)", call. = FALSE)
  mapply(.value_texts, params, names(params), SIMPLIFY = FALSE)
}

# One path, as the library takes it: NA would name a file "NA", and only a first of several
# would be used.
.path_argument <- function(path, name) {
  if (!is.character(path) || length(path) != 1L || is.na(path) || !nzchar(path))
    stop(sprintf("%s: expected one file path, got %s", name, deparse(path)), call. = FALSE)
  path.expand(path)
}

.optional_text <- function(value, name) {
  if (is.null(value)) NULL else .value_texts(value, name)
}

# The library's failures as R conditions: its message, and a class saying what failed.
.library_call <- function(expr, call = sys.call(-1)) {
  tryCatch(expr, error = function(e) {
    kind <- if (inherits(e, "hostswitch::UsageError"))
      "hostswitch_refusal"
    else if (inherits(e, c("hostswitch::IoFailure", "hostswitch::ResultsFileError",
                           "hostswitch::FileBusy")))
      "hostswitch_io_error"
    else
      "hostswitch_failure"
    stop(structure(class = c(kind, "hostswitch_error", "error", "condition"),
                   list(message = conditionMessage(e), call = call)))
  })
}

.read_summary_text <- function(text) read.csv(text = text)

.read_records <- function(path) {
  read.table(path, skip = 10,
             col.names = c("n_g", "p_phe", "n_p", "r_phe", "rl_phe", "n_HS"),
             na.strings = c("NA", strrep("*", c(8, 10, 15))))
}

# scan() takes LF, CR LF and CR line ends from any connection, as from the file itself.
.with_bytes <- function(bytes, read) {
  connection <- textConnection(rawToChar(bytes))
  on.exit(close(connection))
  read(connection)
}

hs_run <- function(n_pop = NULL, birth_rate = NULL, capacity = NULL, emig_rate = NULL,
                   sdr = NULL, sdv = NULL, max_dist = NULL, n_gen = NULL, seed = NULL) {
  params <- list(n_pop = n_pop, birth_rate = birth_rate, capacity = capacity,
                 emig_rate = emig_rate, sdr = sdr, sdv = sdv, max_dist = max_dist,
                 n_gen = n_gen)
  params <- params[!vapply(params, is.null, logical(1))]
  facts <- .library_call(library_run(.named_texts(params), .optional_text(seed, "seed")))
  structure(list(
    outcome = if (facts$extinct) "extinct" else "completed",
    extinction_generation = if (facts$extinct) facts$generations_run else NA_integer_,
    generations_run = facts$generations_run,
    switch_generations = facts$switch_generations,
    seed = facts$seed,
    records = .with_bytes(facts$results, .read_records),
    trajectory = read.csv(text = facts$trajectory),
    summary = .read_summary_text(facts$summary),
    results = facts$results), class = "hs_run")
}

hs_write_results <- function(run, path) {
  stopifnot(inherits(run, "hs_run"))
  .library_call(library_write_file(.path_argument(path, "path"), run$results))
  invisible(path)
}

print.hs_run <- function(x, ...) {
  cat(sprintf("hostswitch run: %s after %d generations, %d with a host switch, seed %d\n",
              x$outcome, x$generations_run, x$switch_generations, x$seed))
  invisible(x)
}

hs_sweep <- function(params, replicates = 1, seed = NULL, jobs = NULL, trajectories = FALSE,
                     summary = NULL, resume = FALSE, progress = interactive()) {
  design <- NULL
  if (is.data.frame(params)) {
    # Design points are read as `sweep --design` reads its file.
    design <- tempfile("hostswitch-design-", fileext = ".csv")
    on.exit(unlink(design))
    .write_exact_csv(params, design)
    params <- list()
  }
  texts <- .library_call(library_sweep(
    .named_texts(params), .value_texts(replicates, "replicates"),
    .optional_text(seed, "seed"), .optional_text(jobs, "jobs"), isTRUE(trajectories),
    if (is.null(summary)) NULL else .path_argument(summary, "summary"), isTRUE(resume), isTRUE(progress),
    design))
  frame <- .read_summary_text(texts$summary)
  paths <- if (isTRUE(trajectories)) read.csv(text = texts$trajectories) else NULL
  if (texts$interrupted) {
    # The complete rows go with the interrupt, for a handler to keep.
    stop(structure(class = c("hostswitch_interrupt", "interrupt", "error", "condition"),
                   list(message = texts$message, call = sys.call(), summary = frame,
                        trajectories = paths)))
  }
  if (isTRUE(trajectories)) list(summary = frame, trajectories = paths) else frame
}

# Doubles in 17 digits, which read back as the same double; NA as an empty field.
.write_exact_csv <- function(frame, path) {
  columns <- lapply(frame, function(column) {
    if (is.double(column)) ifelse(is.na(column), "", sprintf("%.17g", column))
    else ifelse(is.na(column), "", as.character(column))
  })
  utils::write.csv(as.data.frame(columns, optional = TRUE), path, row.names = FALSE,
                   quote = FALSE)
}

hs_stats <- function(summary) {
  if (is.data.frame(summary)) {
    path <- tempfile("hostswitch-", fileext = ".csv")
    on.exit(unlink(path))
    .write_exact_csv(summary, path)
    summary <- path
  }
  read.csv(text = .library_call(library_stats_table(.path_argument(summary, "summary"))))
}

hs_read_results <- function(path) {
  path <- .path_argument(path, "path")
  .library_call(library_read_file(path))  # a missing file fails as the library says
  .read_records(path)
}

hs_read_summary <- function(path) .read_summary_text(rawToChar(.library_call(library_read_file(.path_argument(path, "path")))))

hs_read_trajectories <- function(path) read.csv(text = rawToChar(.library_call(library_read_file(.path_argument(path, "path")))))
