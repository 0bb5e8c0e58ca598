// Command inventory prints a stock report.
package main

import (
	"fmt"
	"os"

	"example.com/inventory/report"
	"example.com/inventory/store"
)

func main() {
	s := store.New()
	s.Add(store.Item{SKU: "A-1", Name: "bolt", Quantity: 3, Reorder: 10})
	fmt.Fprintln(os.Stdout, report.LowStock(s))
}
