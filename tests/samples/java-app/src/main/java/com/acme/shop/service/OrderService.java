package com.acme.shop.service;

import com.acme.shop.model.*;
import java.math.BigDecimal;

/**
 * Places orders and answers questions about them.
 */
public class OrderService extends AuditedService {
    private final Repository<Order> orders;

    public OrderService(Repository<Order> orders) {
        this.orders = orders;
    }

    /** Stores a new order and returns its total. */
    @Deprecated
    public BigDecimal place(Order order) {
        orders.save(order);
        audit("placed", order.id());
        return order.total();
    }

    public boolean isLarge(String id, BigDecimal limit) {
        return orders.find(id).map(o -> o.total().compareTo(limit) > 0).orElse(false);
    }
}
