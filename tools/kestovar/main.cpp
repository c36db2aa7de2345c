#include <cstdio>
int main() { std::puts("kestovar"); return 0; }
