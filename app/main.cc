// The agent's process entry. It reads no arguments and no environment.

#include "app/composition.h"

int main() {
  return quarn::app::Quarn::run(quarn::app::shippedConstants(), quarn::app::systemPlatform());
}
