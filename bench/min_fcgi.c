/* The floor of a FastCGI hit: a minimal multi-threaded program on libfcgi
   that answers every request with the bytes of one file (read at start), on
   the listening socket it was started with (standard input) or the one
   named by its first argument ("127.0.0.1:9000"). The second argument is the
   number of threads.

     cc -O2 -o min_fcgi bench/min_fcgi.c -lfcgi -lpthread */
#include <fcgiapp.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>

static char* answer;
static long answerLength;
static int listenSocket;

static void* serve(void* unused) {
  FCGX_Request request;
  (void)unused;
  FCGX_InitRequest(&request, listenSocket, 0);
  while (FCGX_Accept_r(&request) >= 0) {
    FCGX_PutStr(answer, (int)answerLength, request.out);
    FCGX_Finish_r(&request);
  }
  return NULL;
}

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: min_fcgi ADDRESS THREADS ANSWER_FILE\n");
    return 2;
  }
  FILE* file = fopen(argv[3], "rb");
  if (file == NULL) return 1;
  fseek(file, 0, SEEK_END);
  answerLength = ftell(file);
  rewind(file);
  answer = malloc((size_t)answerLength);
  if (fread(answer, 1, (size_t)answerLength, file) != (size_t)answerLength) return 1;
  fclose(file);
  FCGX_Init();
  listenSocket = FCGX_OpenSocket(argv[1], 1024);
  if (listenSocket < 0) return 1;
  int threads = atoi(argv[2]);
  pthread_t* ids = calloc((size_t)threads, sizeof *ids);
  for (int i = 0; i < threads; ++i) pthread_create(&ids[i], NULL, serve, NULL);
  for (int i = 0; i < threads; ++i) pthread_join(ids[i], NULL);
  return 0;
}
