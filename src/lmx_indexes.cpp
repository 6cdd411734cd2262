/* lmx_indexes.cpp: being written. */
