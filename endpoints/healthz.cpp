/*
 * healthz.cpp - the health-check program: one request per process.
 */
#include "v2_healthz.h"

int main(void)
{
    return handle_healthz();
}
