#include "templates/Tests.h"

namespace templates {

const TestTable& Tests::builtIn() {
    // Rows: test name, then the test.
    static const TestTable table{};
    return table;
}

}  // namespace templates
