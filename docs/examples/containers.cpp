// An int array that grows as needed, a copy of it, and a counter that wraps at its limit.
#include <zoltov/zoltov.h>

#include <cstdio>

int main() {
    CZolIntArray values;
    values.Add(10);
    values.Add(20);
    values.Add(30);
    values.InsertAt(1, 15);  // 10 15 20 30
    values.InsertAt(6, 60);  // beyond the end: two holes that read as 0, then 60
    CZolIntArray copy(values);
    std::printf("%d elements, 15 at %d, 60 at %d\n", copy.GetSize(), copy.Find(15), copy.Find(60));

    CZolCounter counter(3);  // 1, 2, then back to 0: ++ returns 1 when a cycle completes
    int cycles = 0;
    for (int i = 0; i < 7; ++i) {
        cycles += ++counter;
    }
    bool ok = copy.GetSize() == 7 && copy[1] == 15 && copy.Find(60) == 6 && cycles == 2;
    values.DeleteAll();  // the cells are the array's: release them before it goes
    copy.DeleteAll();
    return ok ? 0 : 1;
}
