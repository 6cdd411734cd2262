/* nl_cgi_response.cpp: being written. */
