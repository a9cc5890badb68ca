#pragma once
// The service object: program entry, start-up and shut-down of the server.
namespace tarn {
int ServiceMain(int argc, char** argv);
}
