/* The floor of the benchmark: a Windows console program that does nothing. */
int main(void) { return 0; }
