/*
 * VXM Swatchery: the FastCGI worker, the program started by a FastCGI
 * process manager, and the memory tuning of a process that serves request
 * after request.
 */
#ifndef VXM_FASTCGI_H_INCLUDED
#define VXM_FASTCGI_H_INCLUDED

/* True when a FastCGI process manager started the program (standard input
 * is a listening socket). */
bool IsStartedByFastCgi();
/* Answers FastCGI requests on the listening socket fdListen until the
 * manager stops the program. Returns the process's exit status. */
int ServeFastCgi(int fdListen);

/* Tunes the process for answering many requests: memory freed after one
 * request is kept for the next. */
void KeepMemoryBetweenRequests();
/* Hands the memory a large request freed back to the system; called after
 * each request, it costs nothing after an ordinary one. */
void GiveBackMemoryOfLargeRequests();

#endif /* VXM_FASTCGI_H_INCLUDED */
