// talviro_exporter: every TALVIRO probe on this computer, for Prometheus.
#include "exporter/program.h"

int main(int argc, char** argv) { return exporter::exporter_program(argc, argv); }
