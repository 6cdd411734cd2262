/* lmx_lifetime.cpp: being written. */
