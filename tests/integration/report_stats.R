# Recomputes the statistics table of `hostswitch report` from the summary, with R's own
# prop.test and survival::survfit, and compares every value (1e-9 relative).
#   Rscript report_stats.R SUMMARY.csv STATS.csv
suppressPackageStartupMessages(library(survival))
args <- commandArgs(trailingOnly = TRUE)
runs <- read.csv(args[1], stringsAsFactors = FALSE)
stats <- read.csv(args[2], stringsAsFactors = FALSE)

failures <- 0
checked <- 0
same <- function(what, grid, ours, theirs) {
  ok <- if (is.na(theirs) || is.na(ours)) {
    is.na(theirs) && is.na(ours)
  } else {
    abs(ours - theirs) <= 1e-9 * max(abs(ours), abs(theirs))
  }
  checked <<- checked + 1
  if (!ok) {
    failures <<- failures + 1
    cat(sprintf("grid point %d %s: report %s, R %s\n", grid, what,
                format(ours, digits = 17), format(theirs, digits = 17)))
  }
}

grids <- sort(unique(runs$grid_index))
if (!identical(as.numeric(grids), as.numeric(stats$grid_index))) {
  cat("grid points differ: summary", grids, "table", stats$grid_index, "\n")
  quit(status = 1)
}
parameters <- c("n_pop", "birth_rate", "capacity", "emig_rate", "sdr", "sdv", "max_dist", "n_gen")
for (g in grids) {
  d <- runs[runs$grid_index == g, ]
  s <- stats[stats$grid_index == g, ]
  for (p in parameters) same(p, g, s[[p]], d[[p]][1])
  n <- nrow(d)
  extinct <- d$outcome == "extinct"
  switched <- d$switch_generations > 0
  same("replicates", g, s$replicates, n)
  same("extinct", g, s$extinct, sum(extinct))
  same("switched", g, s$switched, sum(switched))
  same("p_extinct", g, s$p_extinct, mean(extinct))
  same("p_switched", g, s$p_switched, mean(switched))
  ci <- suppressWarnings(prop.test(sum(extinct), n, correct = FALSE))$conf.int
  same("p_extinct_lo", g, s$p_extinct_lo, ci[1])
  same("p_extinct_hi", g, s$p_extinct_hi, ci[2])
  ci <- suppressWarnings(prop.test(sum(switched), n, correct = FALSE))$conf.int
  same("p_switched_lo", g, s$p_switched_lo, ci[1])
  same("p_switched_hi", g, s$p_switched_hi, ci[2])
  same("mean_switches", g, s$mean_switches, mean(d$switch_generations))
  same("median_switches", g, s$median_switches, median(d$switch_generations))
  # Completed runs are censored at the generations they ran, n_gen.
  fit <- survfit(Surv(d$generations_run, extinct) ~ 1)
  table <- summary(fit)$table
  same("km_median_extinction", g, s$km_median_extinction, unname(table["median"]))
  same("km_median_lo", g, s$km_median_lo, unname(table["0.95LCL"]))
  same("km_median_hi", g, s$km_median_hi, unname(table["0.95UCL"]))
  same("mean_final_n_pop", g, s$mean_final_n_pop, mean(ifelse(extinct, 0, d$final_n_pop)))
  same("mean_final_displacement", g, s$mean_final_displacement, mean(d$final_r_phe - 10))
  same("mean_switch_rate", g, s$mean_switch_rate, mean(d$switch_generations / d$generations_run))
  # Every share by a generation G the table holds: first switch, or extinction, at or before G.
  for (name in grep("^p_(switched|extinct)_by_[0-9]+$", names(stats), value = TRUE)) {
    at <- as.numeric(sub(".*_by_", "", name))
    when <- if (startsWith(name, "p_switched")) d$first_switch_generation else
      ifelse(d$outcome == "extinct", d$generations_run, NA)
    hits <- !is.na(when) & when <= at
    same(name, g, s[[name]], mean(hits))
    ci <- suppressWarnings(prop.test(sum(hits), n, correct = FALSE))$conf.int
    same(paste0(name, "_lo"), g, s[[paste0(name, "_lo")]], ci[1])
    same(paste0(name, "_hi"), g, s[[paste0(name, "_hi")]], ci[2])
  }
}
cat(sprintf("%d values of %d grid points compared with R, %d differ\n", checked,
            length(grids), failures))
quit(status = if (failures == 0) 0 else 1)
