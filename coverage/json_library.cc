// The JSON library, compiled into this library in its header-only form so
// that nothing of it is needed, or exported, at run time. Every other file
// includes only its declarations.
#include <boost/json/src.hpp>
