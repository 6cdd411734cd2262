/* lmx_respond.cpp: being written. */
