module example.com/inventory

go 1.22
