#' Individual-based simulation of parasite host switching
#'
#' Runs (\code{\link{hs_run}}) and sweeps (\code{\link{hs_sweep}}) of the model with the C++
#' library of the \code{hostswitch} command line, returning data frames equal to
#' \code{read.csv} of the command line's files, and the statistics of \code{hostswitch report}
#' (\code{\link{hs_stats}}). \code{vignette("hostswitch")} walks through a small study;
#' \code{demo("sweep_figure", package = "hostswitch")} sweeps emigration and the distance
#' between hosts and draws the share of extinct runs.
#'
#' @name hostswitch-package
#' @aliases hostswitch
#' @docType package
"_PACKAGE"
