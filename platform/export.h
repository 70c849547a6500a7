// Marks a function as exported from the shared library that defines it.
#ifndef MAILQUARRY_PLATFORM_EXPORT_H
#define MAILQUARRY_PLATFORM_EXPORT_H

#if defined(_WIN32)
#define MQ_EXPORT __declspec(dllexport)
#else
#define MQ_EXPORT __attribute__((visibility("default")))
#endif

#endif
