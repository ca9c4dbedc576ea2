#ifndef OSTRIVEL_FUNCTIONALITY_H_
#define OSTRIVEL_FUNCTIONALITY_H_

// The interface of the Ostrivel coverage library toward a test harness.
//
// A harness calls, in this order and from one thread at a time:
//   Init(configPath) once, Open() once;
//   for every test: SetTestName(name) or GetCurrentPath(), then
//   StartNewTestCase() before the test runs and GetCollectedInformation()
//   after it;
//   Close() once.
// No function throws; failures are written to the log.

#if defined(_WIN32)
#if defined(OSTRIVEL_BUILDING_LIBRARY)
#define OSTRIVEL_EXPORT __declspec(dllexport)
#else
#define OSTRIVEL_EXPORT __declspec(dllimport)
#endif
#else
#define OSTRIVEL_EXPORT __attribute__((visibility("default")))
#endif

namespace Functionality {

// Reads the configuration file at "configPath" (must not be null) over the
// built-in defaults and loads the method lists of the methods directory. A
// missing file keeps the defaults and warns the user. Returns true.
OSTRIVEL_EXPORT bool Init(const char* configPath);

// Starts the platform's socket library. Returns true.
OSTRIVEL_EXPORT bool Open();

// Tells the collection service that a test starts, connecting first when no
// connection stands. Returns false only when that connection failed.
OSTRIVEL_EXPORT bool StartNewTestCase();

// Sets the name of the current test ("name" must not be null). Returns true.
OSTRIVEL_EXPORT bool SetTestName(const char* name);

// Sets the test name from the last component of the current working
// directory ("undefined" when it cannot be obtained). Returns true.
OSTRIVEL_EXPORT bool GetCurrentPath();

// Asks the service for the call counts of the test that has run and writes
// the result rows and trace files. Sends nothing without a connection.
// Returns true.
OSTRIVEL_EXPORT bool GetCollectedInformation();

// Closes the connection and stops the socket library. Returns true.
OSTRIVEL_EXPORT bool Close();

}  // namespace Functionality

#endif  // OSTRIVEL_FUNCTIONALITY_H_
