/* lmx_status.cpp: being written. */
