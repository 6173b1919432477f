// A C++ host of quel2cln through quel2cln.hpp: the whole sequence of calls,
// printed line by line.
//
//   example HOST PORT
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "quel2cln.hpp"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: " << argv[0] << " HOST PORT\n";
        return 2;
    }
    const auto yes_no = [](bool value) { return value ? "true" : "false"; };
    try {
        quel2cln::client db(argv[1], std::atoi(argv[2]));
        std::cout << "init: ok\n";
        // The statement as Windows-1252 bytes: u-umlaut, sharp s, euro sign.
        db.exec_sql("shop", "SELECT 'Gr\xfc\xdf" "e \x80'", "bindings");
        std::cout << "exec: ok\n";
        const quel2cln::auto_inc next = db.get_auto_inc("shop", "orders", "id");
        std::cout << "get-auto-inc: no_value=" << yes_no(next.no_value) << " value=" << next.value << "\n";
        std::cout << "calc-auto-inc: value="
                  << db.calc_auto_inc("shop", "orders", "id", "year: 2026, branch: 7") << "\n";
        db.save_result("shop", "nightly", "done", "3 rows", "bindings");
        std::cout << "save-result: ok\n";
        try {
            db.exec_sql("shop", "DROP TABLE orders", "bindings");
            std::cout << "refused: not refused\n";
            return 1;
        } catch (const quel2cln::error& e) {
            std::cout << "refused: " << e.what() << "\n";
            std::cout << "last error in 10 bytes: " << quel2cln::client::last_error(10) << "\n";
        }
        std::cout << "lock -1: lock_result=" << yes_no(db.lock("shop", "invoice-1001", -1, "bindings", 7).result)
                  << "\n";
        const quel2cln::lock_answer held = db.lock("shop", "invoice-1001", 0, "bindings", 7);
        std::cout << "lock 0: lock_result=" << yes_no(held.result) << " text=" << held.text << "\n";
        std::cout << "lock 0 text in 6 bytes: " << db.lock("shop", "invoice-1001", 0, "bindings", 7, 6).text
                  << "\n";
        std::cout << "lock 1: lock_result=" << yes_no(db.lock("shop", "invoice-1001", 1, "bindings", 7).result)
                  << "\n";
        try {
            db.lock("shop", "invoice-1001", 2, "bindings", 7);
            std::cout << "lock 2: not refused\n";
            return 1;
        } catch (const quel2cln::error& e) {
            std::cout << "lock 2: " << e.what() << "\n";
        }
    } catch (const quel2cln::error& e) {
        std::cout << "failed: " << e.what() << "\n";
        return 1;
    }
    std::cout << "done: ok\n";
    return 0;
}
