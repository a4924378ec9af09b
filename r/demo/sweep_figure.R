# A sweep over the emigration rate and the largest distance between hosts, 50 replicates a
# grid point, then the share of runs that went extinct with its 95% interval.
library(hostswitch)
runs <- hs_sweep(list(emig_rate = c(0.02, 0.05, 0.1, 0.2, 0.4), max_dist = c(0.5, 1, 2)),
                 replicates = 50, seed = 42)
stats <- hs_stats(runs)
colours <- c("#E69F00", "#56B4E9", "#009E73")
plot(NULL, xlim = range(stats$emig_rate), ylim = c(0, 1), log = "x",
     xlab = "emigration rate", ylab = "share of runs extinct")
for (i in seq_along(unique(stats$max_dist))) {
  d <- unique(stats$max_dist)[i]
  s <- stats[stats$max_dist == d, ]
  arrows(s$emig_rate, s$p_extinct_lo, s$emig_rate, s$p_extinct_hi, angle = 90, code = 3,
         length = 0.03, col = colours[i])
  lines(s$emig_rate, s$p_extinct, type = "b", pch = 19, col = colours[i])
}
legend("bottomright", legend = paste("max_dist", unique(stats$max_dist)), col = colours,
       pch = 19, lty = 1)
