/*
 * main.cpp - the health-check CGI program: one request per process.
 */
#include "v2_healthz.h"

int main(void) { return handle_healthz(); }
