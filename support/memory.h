// Fail-stop allocation of vectors and row-pointer matrices, and the one
// fatal-error routine. Every allocation either succeeds or ends the process
// through errmsg, so callers never test for null.
#pragma once

#include <cstddef>

// Prints the three-line report of a fatal error and exits with status 1.
[[noreturn]] void errmsg(const char* message);

// Hook run by errmsg before it exits (removes an unfinished output file).
extern void (*errmsg_cleanup)();

// Makes every allocation of the C++ library fail-stop too: when operator new
// finds the heap exhausted, the process ends through errmsg.
void fail_stop_on_exhausted_heap();

int** imatrix(int rows, int columns);
short** smatrix(int rows, int columns);
char** cmatrix(int rows, int columns);
unsigned char** ucmatrix(int rows, int columns);
float** fmatrix(int rows, int columns);
double** dmatrix(int rows, int columns);

void free_imatrix(int** m, int rows, int columns);
void free_smatrix(short** m, int rows, int columns);
void free_cmatrix(char** m, int rows, int columns);
void free_ucmatrix(unsigned char** m, int rows, int columns);
void free_fmatrix(float** m, int rows, int columns);
void free_dmatrix(double** m, int rows, int columns);

int* ivector(int n);
short* svector(int n);
char* cvector(int n);
float* fvector(int n);
double* dvector(int n);

void free_ivector(int* v, int n);
void free_svector(short* v, int n);
void free_cvector(char* v, int n);
void free_fvector(float* v, int n);
void free_dvector(double* v, int n);

// Zero-filled block of count * size bytes; ends the process when the product
// overflows or the heap refuses.
void* checked_calloc(size_t count, size_t size);
