/* lmx_documents.cpp: being written. */
