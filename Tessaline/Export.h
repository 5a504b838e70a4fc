#pragma once

// Symbols are hidden by default; the public surface is marked with TESSALINE_EXPORT.
#if defined(_WIN32)
#if defined(TESSALINE_BUILDING_LIBRARY)
#define TESSALINE_EXPORT __declspec(dllexport)
#else
#define TESSALINE_EXPORT __declspec(dllimport)
#endif
#else
#define TESSALINE_EXPORT __attribute__((visibility("default")))
#endif
