/* lmx_stats.cpp: being written. */
