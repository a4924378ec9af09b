\name{hs_run}
\alias{hs_run}
\alias{hs_write_results}
\alias{print.hs_run}
\title{One run of the simulation}
\description{
One run, as \code{hostswitch run} makes it: the results file's records, the trajectory and the
summary row, from the same C++ library as the command line.
}
\usage{
hs_run(n_pop = NULL, birth_rate = NULL, capacity = NULL, emig_rate = NULL, sdr = NULL,
       sdv = NULL, max_dist = NULL, n_gen = NULL, seed = NULL)
hs_write_results(run, path)
\method{print}{hs_run}(x, ...)
}
\arguments{
  \item{n_pop, birth_rate, capacity, emig_rate, sdr, sdv, max_dist, n_gen}{The parameters; one
    left out (\code{NULL}) is the typical run's (100, 0.5, 1000, 0.1, 1, 0.5, 2, 500).
    Numbers or texts, read as the command line's flags read them.}
  \item{seed}{The clock count that seeds the random stream; \code{NULL} takes the clock's.}
  \item{run}{A run from \code{hs_run}.}
  \item{path}{Where to write the results file.}
  \item{x}{A run.}
  \item{...}{Ignored.}
}
\value{
A list of class \code{hs_run}: \code{outcome} ("extinct" or "completed"),
\code{extinction_generation} (\code{NA} for a completed run), \code{generations_run},
\code{switch_generations}, \code{seed}, \code{records} (the results file's records \code{n_g},
\code{p_phe}, \code{n_p}, \code{r_phe}, \code{rl_phe}, \code{n_HS}), \code{trajectory} (one row a
generation) and \code{summary} (the run's summary row), each equal to \code{read.csv} (or
\code{read.table}) of the file the command line writes. \code{hs_write_results} writes the
bytes \code{hostswitch run --seed SEED --output PATH} writes.
}
\section{Errors}{
A value the command line refuses stops with its message and the class
\code{hostswitch_refusal}; a file that cannot be written with the path and the cause and the
class \code{hostswitch_io_error}. A path that is not one string (\code{NA}, several, empty)
stops naming the argument before anything is written.
}
\examples{
run <- hs_run(seed = 2367781)
run
head(run$records)
plot(run$trajectory$n_g, run$trajectory$n_pop, type = "s",
     xlab = "generation", ylab = "population")
}
