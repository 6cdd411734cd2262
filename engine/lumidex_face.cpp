/* lumidex_face.cpp: being written. */
