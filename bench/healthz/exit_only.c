/* The process-creation floor: a program that only exits. */
int main(void) { return 0; }
